"""The installed `quorlin` command against a real WireGuard peer.

The command runs as its own process under `ip netns exec`, inside the peer's
namespace: that is how a user runs it, it gets the exit status the shell sees,
and the namespace's own hosts file is mounted, so a host-name endpoint
resolves without leaving the machine.
"""

from __future__ import annotations

import json
import re

import pytest

from conftest import PEER_KEY as OTHER_PEER_KEY, REPORT_KEYS, quorlin_command
from real_peer import ALLOWED_IPS, UNANSWERED, client_config, needs_peer

pytestmark = needs_peer



CHECKS = ("--ping", "{peer_tunnel_ip}", "--resolve", "ok.quorlin.test")
STATES = ["OK", "WARNING", "CRITICAL", "UNKNOWN"]
# 'label'=value[UOM];[warn];[crit];[min];[max]; never U (a value that does not exist has no label)
PERFDATA = re.compile(r"'([^'=]+)'=(\d+(?:\.\d+)?(?:s|B)?);([\d.]*);([\d.]*);([\d.]*)(?:;([\d.]*))?")


@pytest.mark.parametrize(
    "config, extra, status, verdict",
    [
        ({}, CHECKS, 0, "data_plane_confirmed"),
        (None, CHECKS, 0, "data_plane_confirmed"),  # raw-key mode
        ({"endpoint": "{endpoint_host}"}, CHECKS, 0, "data_plane_confirmed"),
        ({}, (), 0, "authentication_confirmed"),
        # the only data check asked got no answer: the tunnel carries nothing
        ({}, ("--ping", UNANSWERED, "--ping-timeout-ms", "300"), 2, "authentication_confirmed"),
        ({}, ("-w", "0", "-c", "60000"), 1, "authentication_confirmed"),
        ({}, CHECKS + ("--critical", "0"), 2, "data_plane_confirmed"),
        ({"peer_key": OTHER_PEER_KEY}, CHECKS + ("--handshake-timeout-ms", "500"), 2, "unconfirmed"),
        ({"endpoint": "127.0.0.1:{closed_port}"}, CHECKS, 2, "local_error"),
        ({"endpoint": "nowhere.quorlin.test:51820"}, (), 2, "local_error"),
    ],
    ids=["ping and DNS pass", "raw-key mode", "host-name endpoint", "no data checks asked",
         "requested check unanswered", "warning threshold", "critical threshold", "wrong peer key", "closed port",
         "name that does not resolve"],
)
def test_exit_status_follows_the_verdict(peer, prober, tmp_path, config, extra, status, verdict):
    info = peer.info
    values = dict(info, closed_port=info["listen_port"] + 1)
    extra = [word.format(**values) for word in extra]
    if config is None:
        key_file = tmp_path / "client.key"
        key_file.write_text(info["client_private_key"] + "\n")
        key_file.chmod(0o600)
        argv = ["--private-key-file", str(key_file), "--peer-key", info["peer_public_key"],
                "--endpoint", info["endpoint_ipv4"], "--address", info["client_address"],
                "--allowed-ip", ALLOWED_IPS, "--dns-server", info["dns_address"], *extra]
    else:
        config = {key: value.format(**values) for key, value in config.items()}
        argv = [str(client_config(tmp_path, info, **config)), *extra]
    done = prober.command(*argv, "--json")
    assert (done.returncode, done.stderr) == (status, "")
    # the report's own JSON, on one line
    assert done.stdout.endswith("\n") and done.stdout.count("\n") == 1
    report = json.loads(done.stdout)
    assert list(report) == REPORT_KEYS
    assert (report["verdict"], report["client_public_key"]) == (verdict, info["client_public_key"])
    endpoint = config.get("endpoint", info["endpoint_ipv4"]) if config else info["endpoint_ipv4"]
    # The configured text is kept; a host name resolves through the
    # namespace's hosts file to one of the loopback endpoints.
    assert report["endpoint"] == endpoint
    if endpoint == info["endpoint_host"]:
        assert report["resolved_endpoint"] in {info["endpoint_ipv4"], info["endpoint_ipv6"]}
    elif verdict != "local_error" or "closed" in endpoint:
        assert report["resolved_endpoint"] == endpoint

    # The same probe as a monitoring plugin: the state is the exit status.
    plugin = prober.command(*argv, "--nagios")
    assert (plugin.returncode, plugin.stderr) == (status, "")
    assert_plugin_line(plugin.stdout, STATES[status], verdict, endpoint, report)


def assert_plugin_line(output: str, state: str, verdict: str, endpoint: str, report: dict) -> None:
    assert output.endswith("\n")
    line, *long_output = output[:-1].split("\n")
    # one long-output line per check asked, our own text: no perfdata, no ';'
    checks = [p for p in report["phases"] if p["phase"] in ("ping", "dns")]
    assert len([more for more in long_output if more.startswith(("ping ", "dns "))]) == len(checks), output
    assert not any("|" in more or ";" in more for more in long_output), output
    summary, perfdata = line.split(" | ")
    assert summary.startswith(f"WIREGUARD {state} - {verdict} at {endpoint}") and ";" not in summary
    matches = [PERFDATA.fullmatch(datum) for datum in perfdata.split(" ")]
    assert all(matches), perfdata
    labels = [match[1] for match in matches]
    assert len({label[:19] for label in labels}) == len(labels)
    # A phase that did not pass has no label; the others keep their numbers.
    timed = [phase for phase in report["phases"] if phase["phase"] in ("handshake", "ping", "dns")]
    numbered = [phase["phase"] + ("" if phase["phase"] == "handshake" else
                                  str([p["phase"] for p in timed[:i + 1]].count(phase["phase"])))
                for i, phase in enumerate(timed)]
    assert labels == [label for label, phase in zip(numbered, timed) if phase["status"] == "passed"] + \
        ["sent", "received"]
    values = {match[1]: match[2] for match in matches}
    if "handshake" in values:
        assert re.fullmatch(r"0\.\d{6}s", values["handshake"])  # microseconds, well below a second here
    assert (values["sent"], values["received"]) == (f"{report['sent_bytes']}B", f"{report['received_bytes']}B")


def test_table_output_of_a_confirmed_run(peer, prober, tmp_path):
    info = peer.info
    done = prober.command(str(client_config(tmp_path, info)), "--ping", info["peer_tunnel_ip"],
                          "--resolve", "ok.quorlin.test")
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    endpoint = info["endpoint_ipv4"]
    assert lines[:2] == ["verdict:  data_plane_confirmed", f"endpoint: {endpoint} ({endpoint})"]
    assert re.fullmatch(r"total:    \d+ ms, 356 bytes sent, \d+ bytes received", lines[2])
    # Columns are two or more spaces apart; targets have single spaces.
    table = [re.split(r" {2,}", line) for line in lines[3:]]
    assert table[0] == ["PHASE", "TARGET", "STATUS", "MS", "SENT", "RECEIVED", "DETAIL"]
    assert [(row[0], row[1], row[2], row[4], row[6]) for row in table[1:] if row[0] != "socket"] == [
        ("endpoint_resolution", endpoint, "passed", "0", "-"),
        ("handshake", endpoint, "passed", "148", "authenticated WireGuard response"),
        ("keepalive", endpoint, "sent", "32", "initial encrypted keepalive sent; no acknowledgement expected"),
        ("ping", "10.99.0.1", "passed", "80", "valid matching reply"),
        ("dns", "ok.quorlin.test via 10.99.0.1", "passed", "96", "valid DNS response; A records: 192.0.2.10"),
    ]


# Each process starts as soon as the last ended, or all at once, with one key:
# without turns the peer would ignore every other initiation, and a 500 ms
# handshake limit leaves no time for a second one.
AT_ONCE = 'for i in 1 2 3 4; do "$@" >/dev/null & pids="$pids $!"; done; for p in $pids; do wait "$p"; echo $?; done'


def test_processes_sharing_a_key_take_turns(peer, tmp_path):
    argv = [quorlin_command(), str(client_config(tmp_path, peer.info)), "--nagios", "--handshake-timeout-ms", "500"]
    in_a_row = [peer.run(argv).returncode for _ in range(6)]
    at_once = peer.run(["sh", "-c", AT_ONCE, "sh", *argv])
    assert (in_a_row, at_once.stdout.split()) == ([0] * 6, ["0"] * 4), at_once.stderr


# The worst case for a monitoring system's 8 KiB: 100 echoes to each of three
# silent targets. One clause per target, never per echo: the output stays
# small and its performance data whole.
def test_many_lost_echoes_stay_within_what_nagios_keeps(peer, prober, tmp_path):
    silent = ["10.99.0.77", "10.99.0.78", "10.99.0.79"]
    argv = [str(client_config(tmp_path, peer.info))]
    for target in silent:
        argv += ["--ping", target]
    done = prober.command(*argv, "--ping-count", "100", "--ping-interval-ms", "10", "--ping-timeout-ms", "10",
                          "--deadline-ms", "20000", "--nagios")
    assert (done.returncode, done.stderr) == (2, ""), done.stdout
    assert len(done.stdout.encode()) < 4096, len(done.stdout)
    first, *long_output = done.stdout.splitlines()
    assert first.startswith("WIREGUARD CRITICAL - authentication_confirmed at "), first
    for number in (1, 2, 3):
        assert f"'ping{number}_pl'=100%;;;0;100" in first.split(" | ")[1], first
    assert long_output == [f"ping {target}: 0 of 100 received, 100% loss" for target in silent]


# A resolver behind the peer that answers, but not with an address: the
# answer proves the tunnel (the verdict and the JSON phase stay as they are),
# the DNS check fails and says why; the ping beside it passes, so WARNING.
@pytest.mark.parametrize("name, outcome, clause", [
    ("ok.quorlin.test", "valid DNS response, A records: 192.0.2.10", None),
    ("nx.quorlin.test", "resolver answered NXDOMAIN", "dns nx.quorlin.test NXDOMAIN"),
    ("empty.quorlin.test", "resolver answered NOERROR without an A record", "dns empty.quorlin.test no A record"),
    ("elsewhere.example", "resolver answered REFUSED", "dns elsewhere.example REFUSED"),
], ids=["an address", "NXDOMAIN", "no A record", "REFUSED"])
def test_a_resolver_that_answers_without_an_address_fails_its_check(peer, prober, tmp_path, name, outcome, clause):
    info = peer.info
    argv = [str(client_config(tmp_path, info)), "--ping", info["peer_tunnel_ip"], "--resolve", name]
    report = json.loads(prober.command(*argv, "--json").stdout)
    assert report["verdict"] == "data_plane_confirmed" and report["phases"][-1]["status"] == "passed", report
    done = prober.command(*argv, "--nagios")
    assert (done.returncode, done.stderr) == (0 if clause is None else 1, ""), done.stdout
    first, *long_output = done.stdout.splitlines()
    assert f"dns {name} via {info['dns_address']}: {outcome}" in long_output, done.stdout
    summary = first.split(" | ")[0]
    assert summary.endswith("2 of 2 checks passed" if clause is None else f"1 of 2 checks passed - {clause}"), first
