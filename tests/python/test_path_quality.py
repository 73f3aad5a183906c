"""What one small ping cannot see, against the real peer through the relay:
the path MTU through the tunnel (a path that drops large datagrams), and loss
(a path that drops every third datagram)."""

from __future__ import annotations

import pytest

from real_peer import client_config, needs_peer
from relay import Faults, UdpRelay  # tests/peer, on the path through real_peer

pytestmark = needs_peer

FAST = dict(ping_timeout_ms=200, deadline_ms=20000)


def phases(report, name):
    return [p for p in report.phases if p.phase == name]


# A WireGuard data message is 32 bytes of header and tag around the inner
# packet padded to a multiple of 16: through a path carrying at most N bytes,
# the largest inner packet is the largest multiple of 16 not above N - 32.
@pytest.mark.parametrize("max_bytes, config_mtu, status, detail", [
    (1200, None, "unconfirmed", "largest inner packet through the tunnel 1168 bytes; 1184 did not cross"),
    (1000, None, "unconfirmed", "largest inner packet through the tunnel 960 bytes; 976 did not cross"),
    (None, None, "passed", "inner packets of 1420 bytes cross the tunnel"),
    (None, "1280", "passed", "inner packets of 1280 bytes cross the tunnel"),
    (1200, "1168", "passed", "inner packets of 1168 bytes cross the tunnel"),
], ids=["black hole at 1200", "black hole at 1000", "clean path", "MTU = 1280", "MTU just fits"])
def test_path_mtu_through_the_tunnel(peer, prober, tmp_path, max_bytes, config_mtu, status, detail):
    info = peer.info
    with UdpRelay(peer, to_peer=Faults(max_bytes=max_bytes)) as relay:
        config = client_config(tmp_path, info, endpoint=relay.endpoint)
        if config_mtu:
            config.write_text(config.read_text().replace("[Peer]", f"MTU = {config_mtu}\n\n[Peer]"))
        report = prober.file(config, ping=[info["peer_tunnel_ip"]], mtu_check=True, **FAST)
    (mtu,) = phases(report, "path_mtu")
    assert (mtu.target, mtu.status, mtu.detail) == (info["peer_tunnel_ip"], status, detail)
    assert report.phases[-1].phase == "path_mtu"  # the last phase: the small checks come first
    assert [p.status for p in phases(report, "ping")] == ["passed"]  # the small ping still passes
    assert report.verdict == "data_plane_confirmed"


def test_loss_is_counted_echo_by_echo(peer, prober, tmp_path):
    info = peer.info
    # Every third datagram from the client is lost: the keepalive is the 2nd,
    # so echoes 1, 4, 7 and 10 (datagrams 3, 6, 9, 12) never arrive.
    with UdpRelay(peer, to_peer=Faults(drop_every=3)) as relay:
        report = prober.file(client_config(tmp_path, info, endpoint=relay.endpoint), ping=[info["peer_tunnel_ip"]],
                             ping_count=10, ping_interval_ms=10, **FAST)
    pings = phases(report, "ping")
    assert len(pings) == 10 and {p.target for p in pings} == {info["peer_tunnel_ip"]}
    assert abs(sum(p.status != "passed" for p in pings) - 10 / 3) <= 1


# The command: a path MTU that falls short is a WARNING that says by how much;
# loss past --ping-critical is CRITICAL, with rta and pl per target.
@pytest.mark.parametrize("faults, extra, status, summary, perfdata", [
    (Faults(max_bytes=1200), ("--mtu-check",), 1, " - path MTU 1168 below 1420", "'ping1'="),
    (Faults(drop_every=3), ("--ping-count", "10", "--ping-interval-ms", "10", "--ping-critical", "500,20%"), 2,
     "% loss, round trip min/avg/max ", "'ping1_pl'=40%;;20;0;100"),
], ids=["black hole", "lossy path"])
def test_the_plugin_line_tells_mtu_and_loss(peer, prober, tmp_path, faults, extra, status, summary, perfdata):
    info = peer.info
    with UdpRelay(peer, to_peer=faults) as relay:
        config = client_config(tmp_path, info, endpoint=relay.endpoint)
        done = prober.command(str(config), "--ping", info["peer_tunnel_ip"], "--ping-timeout-ms", "200",
                              "--deadline-ms", "20000", "--nagios", *extra)
    assert (done.returncode, done.stderr) == (status, ""), done.stdout
    line = done.stdout
    assert line.startswith(("WIREGUARD WARNING - ", "WIREGUARD CRITICAL - ")[status - 1]) and summary in line, line
    assert perfdata in line.split(" | ")[1], line
