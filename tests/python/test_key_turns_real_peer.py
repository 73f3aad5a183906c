"""Probes of one key pair started together against the real peer: they take
turns, each waits within its overall deadline rather than its handshake
limit, and each reports its own true state (never UNKNOWN for the wait)."""

from __future__ import annotations

import re
import subprocess
import threading
import time

from conftest import quorlin_command
from exporter_process import ExporterProcess, sample
from real_peer import COMMAND_TIMEOUT_S, client_config, needs_peer
from relay import Faults, UdpRelay  # tests/peer, on the path through real_peer

pytestmark = needs_peer

WAITED = re.compile(r"waited [0-9]+\.[0-9] s for the turn of this key")


def test_four_checks_of_one_key_at_once_each_tell_their_own_state(peer, tmp_path):
    info = peer.info
    ping = ("--ping", info["peer_tunnel_ip"])
    with UdpRelay(peer, to_peer=Faults(max_bytes=1200)) as relay:
        direct = client_config(tmp_path, info)
        through_black_hole = client_config(tmp_path, info, name="relayed.conf", endpoint=relay.endpoint)
        # The MTU search (echoes of 200 ms, as the path tests use) starts
        # first and takes about 1 s; the others, started just after, wait for
        # it longer than their 500 ms handshake limit, then for each other.
        short = ("--handshake-timeout-ms", "500")
        runs = {
            "MTU check": ((str(through_black_hole), *ping, "--mtu-check", "--ping-timeout-ms", "200"), 1,
                          "WIREGUARD WARNING - ", " - path MTU 1168 below 1420"),
            "single ping": ((str(direct), *ping, *short), 0, "WIREGUARD OK - ", ", 1 of 1 checks passed"),
            "five echoes": ((str(direct), *ping, *short, "--ping-count", "5"), 0, "WIREGUARD OK - ",
                            ", 1 of 1 checks passed"),
            "resolve": ((str(direct), "--resolve", "ok.quorlin.test", *short), 0, "WIREGUARD OK - ",
                        ", 1 of 1 checks passed"),
        }
        started = {}
        for name, (argv, *_) in runs.items():
            started[name] = subprocess.Popen(["ip", "netns", "exec", peer.namespace, quorlin_command(), *argv,
                                              "--nagios"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            time.sleep(0.3 if name == "MTU check" else 0)
        done = {name: process.communicate(timeout=COMMAND_TIMEOUT_S) for name, process in started.items()}
    waits = []
    for name, (_, status, state, summary) in runs.items():
        out, err = done[name]
        first, *long_output = out.splitlines()
        assert (started[name].returncode, err) == (status, ""), f"{name}: {out}"
        assert first.startswith(state) and summary in first.split(" | ")[0], f"{name}: {out}"
        # after a line per check, the wait for the turn when there was one
        waited = [line for line in long_output if WAITED.fullmatch(line)]
        assert all(line.startswith(("ping ", "dns ", "path_mtu ")) for line in long_output if line not in waited), out
        waits += waited
    assert len(waits) >= 3, "three waited for a turn, behind a second of checks at least"


# The second scrape waits out the first one's search (about 1 s, past its
# 1 s handshake limit) within the scrape's 10 s, then finds the same MTU.
def test_two_scrapes_of_one_mtu_check_target_both_answer_the_truth(peer, tmp_path):
    info = peer.info
    with UdpRelay(peer, to_peer=Faults(max_bytes=1200)) as relay:
        client_config(tmp_path, info, name="relayed.conf", endpoint=relay.endpoint)
        fleet = tmp_path / "fleet.toml"
        fleet.write_text("[[target]]\n"
                         'name = "mtu"\n'
                         'config = "relayed.conf"\n'
                         f'ping = ["{info["peer_tunnel_ip"]}"]\n'
                         "mtu_check = true\n"
                         "ping_timeout_ms = 200\n"
                         "handshake_timeout_ms = 1000\n")
        with ExporterProcess(peer, fleet) as exporter:
            answers = [None, None]

            def scrape(k: int) -> None:
                answers[k] = exporter.request("/probe?target=mtu", {"X-Prometheus-Scrape-Timeout-Seconds": "10"})

            scrapes = [threading.Thread(target=scrape, args=(k,)) for k in range(2)]
            for thread in scrapes:
                thread.start()
            for thread in scrapes:
                thread.join(timeout=60)
    for status, _, body in answers:
        assert status == 200, body
        assert sample(body, 'quorlin_probe_verdict{verdict="data_plane_confirmed"}') == 1, body
        assert sample(body, f'quorlin_path_mtu_bytes{{check="{info["peer_tunnel_ip"]}"}}') == 1168, body
