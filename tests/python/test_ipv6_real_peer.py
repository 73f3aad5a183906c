"""IPv6 inside the tunnel, against a real peer whose namespace answers ICMPv6 echoes on its IPv6
tunnel address: a dual-stack configuration pings both sides; a peer that routes only IPv4 to the
client fails the IPv6 check alone."""

from __future__ import annotations

import contextlib
import json
import subprocess

from exporter_process import ExporterProcess
from real_peer import ALLOWED_IPS, client_config, needs_peer, wgpeer

pytestmark = needs_peer


def dual_stack_config(tmp_path, info: dict):
    assert info["peer_tunnel_ip6"], "the peer's namespace has no IPv6"
    path = client_config(tmp_path, info)
    text = path.read_text()
    text = text.replace(f"Address = {info['client_address']}",
                        f"Address = {info['client_address']}, {info['client_address6']}")
    text = text.replace(f"AllowedIPs = {ALLOWED_IPS}", f"AllowedIPs = {ALLOWED_IPS}, fd00:99::/64")
    path.write_text(text)
    return path


@contextlib.contextmanager
def peer_routes_only_ipv4(peer: wgpeer.WireGuardPeer):
    """The peer's AllowedIPs for our key without its IPv6 address: answers to it are not sent back."""
    def allowed(ips: str) -> None:
        done = peer.run(["wg", "set", peer.interface, "peer", peer.info["client_public_key"], "allowed-ips", ips])
        assert done.returncode == 0, done.stderr

    allowed(peer.info["client_address"])
    try:
        yield
    finally:
        allowed(f"{peer.info['client_address']},{peer.info['client_address6']}")


def test_a_dual_stack_configuration_pings_both_sides(peer, prober, tmp_path):
    config = str(dual_stack_config(tmp_path, peer.info))
    done = prober.command(config, "--ping", peer.info["peer_tunnel_ip"], "--ping", "FD00:99:0::1", "--json")
    assert (done.returncode, done.stderr) == (0, "")
    report = json.loads(done.stdout)
    pings = [(phase["target"], phase["status"], phase["detail"]) for phase in report["phases"] if phase["phase"] == "ping"]
    assert pings == [(peer.info["peer_tunnel_ip"], "passed", "valid matching reply"),
                     ("fd00:99::1", "passed", "valid matching reply")]
    assert report["verdict"] == "data_plane_confirmed"


def test_raw_key_mode_takes_the_ipv6_address_and_prefixes(peer, prober, tmp_path):
    key = tmp_path / "client.key"
    key.write_text(peer.info["client_private_key"] + "\n")
    key.chmod(0o600)
    done = prober.command("--private-key-file", str(key), "--peer-key", peer.info["peer_public_key"],
                          "--endpoint", peer.info["endpoint_ipv4"], "--address6", peer.info["client_address6"],
                          "--allowed-ip", "fd00:99::/64", "--ping", peer.info["peer_tunnel_ip6"], "--nagios")
    assert (done.returncode, done.stderr) == (0, ""), done.stdout
    assert done.stdout.startswith("WIREGUARD OK - data_plane_confirmed"), done.stdout


def test_ipv6_broken_while_ipv4_works(peer, prober, tmp_path):
    config = str(dual_stack_config(tmp_path, peer.info))
    with peer_routes_only_ipv4(peer):
        done = prober.command(config, "--ping", peer.info["peer_tunnel_ip"], "--ping", peer.info["peer_tunnel_ip6"],
                              "--nagios")
    first, *long_output = done.stdout.splitlines()
    assert (done.returncode, done.stderr) == (1, ""), done.stdout
    assert first.startswith("WIREGUARD WARNING - ") and first.split(" | ")[0].endswith(
        "1 of 2 checks passed - ping fd00:99::1 unanswered"), first
    assert len(long_output) == 2, done.stdout
    assert long_output[0].startswith(f"ping {peer.info['peer_tunnel_ip']}: valid matching reply, round trip ")
    assert long_output[1] == "ping fd00:99::1: no valid matching reply before the check deadline"


def test_ipv6_target_refusals(peer, prober, tmp_path):
    config = str(dual_stack_config(tmp_path, peer.info))
    v4_only = str(client_config(tmp_path, peer.info, name="v4.conf"))
    cases = [
        ([config, "--ping", "fd00:98::1"], "ping target fd00:98::1 is outside Peer AllowedIPs"),
        ([config, "--ping", "fe80::1%lo"], "ping target must be an IPv6 address (no brackets, no zone), got fe80::1%lo"),
        ([config, "--ping", "[fd00:99::1]"],
         "ping target must be an IPv6 address (no brackets, no zone), got [fd00:99::1]"),
        ([config, "--ping", "::ffff:10.99.0.1"], "ping target ::ffff:10.99.0.1 is IPv4-mapped: write the IPv4 address"),
        ([v4_only, "--ping", "fd00:99::1"], "IPv6 checks require an IPv6 Interface Address (or --address6)"),
    ]
    for argv, message in cases:
        done = prober.command(*argv)
        assert (done.returncode, done.stdout, done.stderr) == (3, "", f"quorlin: {message}\n"), argv


def test_the_exporter_labels_an_ipv6_target(peer, tmp_path):
    """The label carries the address as the report writes it, whatever spelling the fleet file used;
    promtool reads the answer."""
    config = dual_stack_config(tmp_path, peer.info)
    fleet = tmp_path / "fleet.toml"
    fleet.write_text(f'[[target]]\nname = "dual"\nconfig = "{config}"\n'
                     f'ping = ["{peer.info["peer_tunnel_ip"]}", "FD00:99:0::1"]\n')
    with ExporterProcess(peer, fleet) as exporter:
        status, _, body = exporter.request("/probe?target=dual")
    assert status == 200, body
    assert 'quorlin_check_success{check="ping",target="fd00:99::1"} 1\n' in body, body
    checked = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True, text=True, timeout=60)
    assert (checked.returncode, checked.stdout, checked.stderr) == (0, "", ""), body
