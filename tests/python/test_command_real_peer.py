"""The installed `quorlin` command against a real WireGuard peer.

The command runs as its own process under `ip netns exec`, inside the peer's
namespace: that is how a user runs it, it gets the exit status the shell sees,
and the namespace's own hosts file is mounted, so a host-name endpoint
resolves without leaving the machine.
"""

from __future__ import annotations

import json
import re
import sys
import time
from pathlib import Path

import pytest

from conftest import PEER_KEY as OTHER_PEER_KEY
from real_peer import (ALLOWED_IPS, HANDSHAKE_SPACING_S, PHASE_FIELDS, REPORT_KEYS, UNANSWERED, Prober, client_config,
                       wgpeer)

pytestmark = pytest.mark.skipif(wgpeer.unavailable_reason() is not None,
                                reason=wgpeer.unavailable_reason() or "")

COMMAND_TIMEOUT_S = 60.0


def command() -> list[str]:
    # The console script installed next to this interpreter; the package's
    # module entry point when there is none.
    script = Path(sys.executable).with_name("quorlin")
    return [str(script)] if script.is_file() else [sys.executable, "-m", "quorlin"]


class Runner:
    def __init__(self, peer: wgpeer.WireGuardPeer):
        self.peer = peer
        self._last = 0.0

    def __call__(self, *argv: str):
        # Same client key each time: keep the peer's handshake flood limit.
        time.sleep(max(0.0, self._last + HANDSHAKE_SPACING_S - time.monotonic()))
        try:
            return self.peer.run([*command(), *argv], timeout=COMMAND_TIMEOUT_S)
        finally:
            self._last = time.monotonic()


@pytest.fixture(scope="module")
def peer():
    with wgpeer.WireGuardPeer() as running:
        yield running


@pytest.fixture(scope="module")
def run(peer):
    return Runner(peer)


CHECKS = ("--ping", "{peer_tunnel_ip}", "--resolve", "ok.quorlin.test")


@pytest.mark.parametrize(
    "config, extra, status, verdict",
    [
        ({}, CHECKS, 0, "data_plane_confirmed"),
        (None, CHECKS, 0, "data_plane_confirmed"),  # raw-key mode
        ({"endpoint": "{endpoint_host}"}, CHECKS, 0, "data_plane_confirmed"),
        ({}, (), 0, "authentication_confirmed"),
        ({}, ("--ping", UNANSWERED, "--ping-timeout-ms", "300"), 1, "authentication_confirmed"),
        ({"peer_key": OTHER_PEER_KEY}, CHECKS + ("--handshake-timeout-ms", "500"), 2, "unconfirmed"),
        ({"endpoint": "127.0.0.1:{closed_port}"}, CHECKS, 3, "local_error"),
    ],
    ids=["ping and DNS pass", "raw-key mode", "host-name endpoint", "no data checks asked",
         "requested check unanswered", "wrong peer key", "closed port"],
)
def test_exit_status_follows_the_verdict(peer, run, tmp_path, config, extra, status, verdict):
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
    done = run(*argv, "--json")
    assert (done.returncode, done.stderr) == (status, "")
    assert done.stdout.endswith("\n") and done.stdout.count("\n") == 1
    report = json.loads(done.stdout)
    assert report["verdict"] == verdict
    assert report["client_public_key"] == info["client_public_key"]
    endpoint = config.get("endpoint", info["endpoint_ipv4"]) if config else info["endpoint_ipv4"]
    # The configured text is kept; a host name resolves through the
    # namespace's hosts file to one of the loopback endpoints.
    assert report["endpoint"] == endpoint
    if endpoint == info["endpoint_host"]:
        assert report["resolved_endpoint"] in {info["endpoint_ipv4"], info["endpoint_ipv6"]}
    else:
        assert report["resolved_endpoint"] == endpoint


def test_json_output_has_the_reports_shape(peer, run, tmp_path):
    info = peer.info
    config = client_config(tmp_path, info)
    checks = dict(ping=[info["peer_tunnel_ip"], UNANSWERED], resolve=["ok.quorlin.test"], ping_timeout_ms=300)
    done = run(str(config), "--ping", info["peer_tunnel_ip"], "--ping", UNANSWERED, "--resolve", "ok.quorlin.test",
               "--ping-timeout-ms", "300", "--json")
    assert done.returncode == 0, done.stderr
    from_command = json.loads(done.stdout)
    time.sleep(HANDSHAKE_SPACING_S)
    from_module = json.loads(Prober(peer).file(config, **checks).to_json())

    def shape(document: dict) -> list:
        # What two runs of one probe share: keys in order and every phase's
        # outcome; ports and durations differ from run to run.
        phases = [(list(p), p["phase"], p["status"], p.get("detail"),
                   None if p["phase"] == "socket" else p.get("target"), p["sent_bytes"])
                  for p in document["phases"]]
        return [list(document), document["verdict"], document["endpoint"], document["resolved_endpoint"],
                document["client_public_key"], phases]

    assert list(from_command) == REPORT_KEYS
    assert all(list(p) == [f for f in PHASE_FIELDS if f in p] for p in from_command["phases"])
    assert shape(from_command) == shape(from_module)
    assert from_command["verdict"] == "data_plane_confirmed"


def test_table_output_of_a_confirmed_run(peer, run, tmp_path):
    info = peer.info
    done = run(str(client_config(tmp_path, info)), "--ping", info["peer_tunnel_ip"], "--resolve", "ok.quorlin.test")
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
