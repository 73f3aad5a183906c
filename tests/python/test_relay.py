"""The misbehaving relay (tests/peer/relay.py) does each fault, and only that.

The fault mechanics are watched from both ends with plain sockets standing in
for the peer (exact order and bytes); what a prober sees is shown by probes of
the real peer through the relay.
"""

from __future__ import annotations

import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

from real_peer import client_config, needs_peer, wgpeer

import relay as relay_module  # tests/peer, on the path through real_peer
from relay import Faults, RelayError, UdpRelay

pytestmark = needs_peer

QUIET_S = 0.3       # no further datagram for this long: the relay has sent all it will
HANG_BOUND_S = 30.0


def address(text: str) -> tuple[str, int]:
    host, port = text.rsplit(":", 1)
    return host, int(port)


def receive_all(sock: socket.socket) -> list[bytes]:
    received = []
    sock.settimeout(QUIET_S)
    deadline = time.monotonic() + HANG_BOUND_S
    while time.monotonic() < deadline:
        try:
            received.append(sock.recv(65535))
        except socket.timeout:
            return received
    raise AssertionError("the relay never went quiet")


@pytest.fixture
def sockets(peer):
    """(client, stand-in peer) UDP sockets on the peer namespace's loopback."""
    with peer.entered():
        client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        stand_in = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    with client, stand_in:
        for sock in (client, stand_in):
            sock.bind(("127.0.0.1", 0))
            sock.settimeout(HANG_BOUND_S)
        yield client, stand_in


def label(n: int) -> bytes:
    return bytes([n]) * 40


@pytest.mark.parametrize("direction, faults, order, counts", [
    ("to_peer", Faults(), [1, 2, 3, 4, 5, 6], {"forwarded": 6}),
    ("to_peer", Faults(drop_nth=[2, 5]), [1, 3, 4, 6], {"forwarded": 4, "dropped": 2}),
    ("to_peer", Faults(drop_from=4), [1, 2, 3], {"forwarded": 3, "dropped": 3}),
    ("to_peer", Faults(duplicate=True), [1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6], {"forwarded": 6, "duplicated": 6}),
    ("to_peer", Faults(reorder=[2, 4]), [1, 3, 2, 5, 4, 6], {"forwarded": 6, "reordered": 2}),
    ("to_client", Faults(drop_nth=1, duplicate=True, reorder=3), [2, 2, 4, 4, 3, 3, 5, 5, 6, 6],
     {"forwarded": 5, "dropped": 1, "duplicated": 5, "reordered": 1}),
], ids=["clean", "drop_nth", "drop_from", "duplicate", "reorder", "to_client"])
def test_each_fault_in_its_direction(peer, sockets, direction, faults, order, counts):
    client, stand_in = sockets
    with UdpRelay(peer, target="127.0.0.1:%d" % stand_in.getsockname()[1], **{direction: faults}) as relay:
        if direction == "to_client":
            client.sendto(b"hello", address(relay.endpoint))
            _, upstream = stand_in.recvfrom(100)  # the relay's socket for this client
        for n in range(1, 7):
            if direction == "to_peer":
                client.sendto(label(n), address(relay.endpoint))
            else:
                stand_in.sendto(label(n), upstream)
        receiver = stand_in if direction == "to_peer" else client
        assert receive_all(receiver) == [label(n) for n in order]
        stats = relay.stats()
    expected = {**dict.fromkeys(relay_module.COUNTERS, 0), "received": 6, "received_bytes": 240,
                "sent": len(order), "sent_bytes": 40 * len(order), **counts,
                "received_by_kind": {"initiation": 0, "response": 0, "cookie_reply": 0, "transport": 0,
                                     "other": 6}}
    assert list(stats) == ["to_peer", "to_client", "clients"]
    assert list(stats[direction]) == list(expected)
    assert stats[direction] == expected
    assert stats["clients"] == 1


def test_junk_cycles_its_kinds_with_the_index_it_learnt(peer, sockets):
    client, stand_in = sockets
    peer_index = bytes.fromhex("a1b2c3d4")
    with UdpRelay(peer, target="127.0.0.1:%d" % stand_in.getsockname()[1], to_peer=Faults(junk=4)) as relay:
        client.sendto(label(1), address(relay.endpoint))
        first, upstream = [], None
        for _ in range(5):
            datagram, upstream = stand_in.recvfrom(65535)
            first.append(datagram)
        # The peer announces its index in a handshake response (type 2, 92 bytes).
        stand_in.sendto(struct.pack("<I", 2) + peer_index + bytes(84), upstream)
        assert len(client.recv(100)) == 92
        client.sendto(label(2), address(relay.endpoint))
        random_junk, fake_transport, fake_response, replay, forwarded = receive_all(stand_in)
        stats = relay.stats()
    assert first[4] == label(1) and forwarded == label(2)
    assert 1 <= len(random_junk) <= 512
    assert fake_transport[:4] == b"\x04\x00\x00\x00" and fake_transport[4:8] == peer_index
    assert len(fake_transport) >= 16 + 32 and len(fake_transport) % 16 == 0
    assert fake_response[:4] == b"\x02\x00\x00\x00" and len(fake_response) == 92
    assert replay == label(1)
    assert (stats["to_peer"]["junk"], stats["to_peer"]["forwarded"], stats["to_peer"]["sent"]) == (8, 2, 10)
    assert stats["to_client"]["received_by_kind"]["response"] == 1


def test_a_delay_holds_one_direction_only(peer, sockets):
    client, stand_in = sockets
    with UdpRelay(peer, target="127.0.0.1:%d" % stand_in.getsockname()[1],
                  to_client=Faults(delay_ms=1000)) as relay:
        client.sendto(label(1), address(relay.endpoint))
        _, upstream = stand_in.recvfrom(100)
        replied = time.monotonic()
        stand_in.sendto(label(2), upstream)
        # Sent after the delayed reply, yet through at once: the other direction waits for nothing.
        client.sendto(label(3), address(relay.endpoint))
        assert stand_in.recv(100) == label(3)
        assert client.recv(100) == label(2)
        assert time.monotonic() - replied >= 1.0  # a lower bound: the delay was applied


@pytest.mark.parametrize("to_peer, to_client, verdict, check", [
    (Faults(), Faults(), "data_plane_confirmed",
     lambda s: s["to_peer"]["received_by_kind"]["initiation"] == 1 and
     s["to_client"]["received_by_kind"]["response"] == 1 and
     all(s[d]["sent"] == s[d]["received"] > 0 for d in ("to_peer", "to_client"))),
    (Faults(), Faults(drop_from=1), "unconfirmed",
     lambda s: s["to_client"]["dropped"] == s["to_client"]["received"] > 0 and s["to_client"]["sent"] == 0),
    (Faults(delay_ms=100), Faults(delay_ms=100), "data_plane_confirmed",
     lambda s: s["to_peer"]["received_by_kind"]["initiation"] == 1),
    # What the prober makes of it is the engine's business; here: real traffic, every fault done.
    (Faults(), Faults(duplicate=True, junk=4), None,
     lambda s: s["to_client"]["duplicated"] == s["to_client"]["forwarded"] > 0 and
     s["to_client"]["junk"] == 4 * s["to_client"]["forwarded"]),
    # The prober accepts each forged reply and tries again: it authenticates
    # with the peer's public key alone. The peer never hears of it.
    (Faults(), Faults(forge_cookie=True), "unconfirmed",
     lambda s: s["to_peer"]["received_by_kind"]["initiation"] >= 2 and s["to_peer"]["sent"] == 0 and
     s["to_client"]["forged_cookies"] >= 1),
], ids=["clean", "silent", "delayed", "duplicate_and_junk", "forged_cookie"])
def test_a_probe_through_the_relay(peer, prober, tmp_path, to_peer, to_client, verdict, check):
    with UdpRelay(peer, to_peer=to_peer, to_client=to_client) as relay:
        config = client_config(tmp_path, peer.info, endpoint=relay.endpoint)
        report = prober.file(config, ping=[peer.info["peer_tunnel_ip"]], handshake_timeout_ms=1000)
        stats = relay.stats()
    if verdict is not None:
        assert report.verdict == verdict
    handshake = report.phases[2]
    assert handshake.duration_ms >= to_peer.delay_ms + to_client.delay_ms  # a lower bound: the delays apply
    assert check(stats), stats


@pytest.mark.parametrize("ending", ["stop", "SIGTERM"])
def test_the_relay_process_ends(peer, ending):
    relay = UdpRelay(peer)
    ready = relay.start()
    assert list(ready) == ["endpoint", "peer_endpoint", "pid"]
    assert ready["endpoint"].startswith("127.0.0.1:") and ready["peer_endpoint"] == peer.info["endpoint_ipv4"]
    pid = ready["pid"]
    if ending == "SIGTERM":
        relay._process.send_signal(signal.SIGTERM)
        assert relay._process.wait(timeout=HANG_BOUND_S) == 0
    relay.stop()
    assert not wgpeer._is_alive(pid)
    with pytest.raises(RelayError, match="relay is not running"):
        relay.stats()
    relay.stop()  # twice is harmless


@pytest.mark.parametrize("make, message", [
    (lambda: Faults(delay_ms=-1), "delay_ms must be an integer from 0 through 60000, got -1"),
    (lambda: Faults(junk=65), "junk must be an integer from 0 through 64, got 65"),
    (lambda: Faults(drop_nth=[0]), "drop_nth takes datagram positions counted from 1, got [0]"),
    (lambda: Faults(drop_from=[1]), "drop_from takes a datagram position counted from 1, got [1]"),
    (lambda: Faults(duplicate=1), "duplicate must be true or false, got 1"),
    (lambda: Faults(forge_cookie_forward=True), "forge_cookie_forward only applies with forge_cookie"),
    (lambda: Faults.from_json('{"delay": 5}'), "unknown faults: delay"),
    (lambda: UdpRelay(None, to_peer=Faults(forge_cookie=True)),
     "forge_cookie answers the client, so it belongs to to_client"),
    (lambda: UdpRelay(None, target="localhost:1"), "expected IPV4:PORT, got 'localhost:1'"),
])
def test_bad_options_are_refused(make, message):
    with pytest.raises(RelayError) as error:
        make()
    assert str(error.value) == message


def test_the_command_refuses_bad_faults_in_one_json_line():
    done = subprocess.run([sys.executable, str(relay_module.SCRIPT), "serve", "--to-client", '{"junk": -1}'],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=HANG_BOUND_S)
    assert (done.returncode, done.stdout) == (1, '{"error":"junk must be an integer from 0 through 64, got -1"}\n')
