"""`quorlin fleet` against a real WireGuard peer: one fleet of good,
wrong-key, closed-port, silent and host-name targets, in JSON lines and in
the table, with the worst exit status. Three targets share one client key and
peer key, so they pass only when the runner keeps them apart.

The command runs under `ip netns exec` in the peer's namespace, whose own
hosts file answers the host name."""

from __future__ import annotations

import json
import re

from conftest import CLIENT_PUBLIC_KEY as OTHER_PEER_KEY, REPORT_KEYS
from real_peer import ALLOWED_IPS, UNANSWERED, client_config, needs_peer
from relay import Faults, UdpRelay

pytestmark = needs_peer

EXPECTED = {  # name: (verdict, exit status of the single probe)
    "good": ("data_plane_confirmed", 0),
    "host-name": ("data_plane_confirmed", 0),
    "unanswered-ping": ("authentication_confirmed", 1),
    "wrong-key": ("unconfirmed", 2),
    "closed-port": ("local_error", 2),
    "silent": ("unconfirmed", 2),
}


def write_fleet(tmp_path, info, silent_endpoint):
    client_config(tmp_path, info)  # wg0.conf
    client_config(tmp_path, info, name="wrong.conf", peer_key=OTHER_PEER_KEY)
    key = tmp_path / "client.key"
    key.write_text(info["client_private_key"] + "\n")
    key.chmod(0o600)
    raw_key = (f'private_key_file = "client.key"\npeer_key = "{info["peer_public_key"]}"\n'
               f'address = "{info["client_address"]}"\nallowed_ips = ["{ALLOWED_IPS}"]\n')
    fleet = tmp_path / "fleet.toml"
    fleet.write_text(f"""
[defaults]
handshake_timeout_ms = 1000
ping_timeout_ms = 300
deadline_ms = 3000
ping = ["{info["peer_tunnel_ip"]}"]
labels = {{ site = "lab" }}

[[target]]
name = "good"
config = "wg0.conf"
resolve = ["ok.quorlin.test"]
labels = {{ site = "lab", region = "eu" }}

[[target]]
name = "host-name"
{raw_key}endpoint = "{info["endpoint_host"]}"

[[target]]
name = "unanswered-ping"
{raw_key}endpoint = "{info["endpoint_ipv4"]}"
ping = ["{UNANSWERED}"]

[[target]]
name = "wrong-key"
config = "wrong.conf"

[[target]]
name = "closed-port"
{raw_key}endpoint = "127.0.0.1:{info["listen_port"] + 1}"

[[target]]
name = "silent"
{raw_key}endpoint = "{silent_endpoint}"
""")
    return fleet


def test_fleet_verdicts_in_json_lines_and_table(peer, prober, tmp_path):
    info = peer.info
    with UdpRelay(peer, to_peer=Faults(drop_from=1)) as silent:
        fleet = write_fleet(tmp_path, info, silent.endpoint)
        as_json = prober.command("fleet", str(fleet), "--json")
        as_table = prober.command("fleet", str(fleet))

    assert (as_json.returncode, as_json.stderr) == (2, "")
    lines = [json.loads(line) for line in as_json.stdout.splitlines()]
    assert sorted(line["target"] for line in lines) == sorted(EXPECTED)
    for line in lines:
        assert list(line) == ["target", "labels", "report"]
        assert list(line["report"]) == REPORT_KEYS
        assert line["report"]["verdict"] == EXPECTED[line["target"]][0], line
        expected_labels = {"region": "eu", "site": "lab"} if line["target"] == "good" else {"site": "lab"}
        assert line["labels"] == expected_labels
    by_name = {line["target"]: line["report"] for line in lines}
    assert by_name["good"]["client_public_key"] == info["client_public_key"]
    assert by_name["host-name"]["endpoint"] == info["endpoint_host"]
    assert [phase["status"] for phase in by_name["good"]["phases"][-2:]] == ["passed", "passed"]

    assert (as_table.returncode, as_table.stderr) == (2, "")
    header, *rows, summary = as_table.stdout.splitlines()
    assert re.split(r" {2,}", header) == ["TARGET", "VERDICT", "HANDSHAKE_MS", "CHECKS", "DETAIL"]
    table = {cells[0]: cells[1:] for cells in (re.split(r" {2,}", row) for row in rows)}
    assert {name: cells[0] for name, cells in table.items()} == {name: v for name, (v, _) in EXPECTED.items()}
    assert table["good"][2:] == ["2/2", "-"]
    assert re.fullmatch(r"\d+\.\d{3}", table["good"][1])
    assert table["unanswered-ping"][2:] == ["0/1", f"ping {UNANSWERED} unconfirmed: no valid matching reply "
                                                   "before the check deadline"]
    assert table["closed-port"][3].endswith("error: local UDP error: Connection refused (os error 111)")
    assert re.fullmatch(r"6 targets in \d+\.\d{3} s: 2 data_plane_confirmed, 1 authentication_confirmed, "
                        r"2 unconfirmed, 1 local_error", summary)
