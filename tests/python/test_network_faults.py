"""A healthy peer is never reported broken, whatever the network or the
process does around a probe: signals during the wait, and (through the relay
of tests/peer) duplicated, delayed, reordered and junk datagrams, forged
cookie replies, and a standard client that used the same key just before."""

from __future__ import annotations

import signal

import pytest

from conftest import PEER_KEY
from quorlin import _quorlin
from real_peer import client_config, needs_peer
from relay import Faults, UdpRelay  # tests/peer, on the path through real_peer

NO_RESPONSE = "no authenticated response before the handshake deadline"


def rows(report) -> list[tuple]:
    return [(p.phase, p.target, p.status, p.detail) for p in report.phases]


def test_signals_during_a_probe_do_not_end_it(key_file, silent_peer):
    fired = []
    previous = signal.signal(signal.SIGALRM, lambda *_: fired.append(True))
    signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
    try:
        report = _quorlin.probe_key_file(key_file, PEER_KEY, "127.0.0.1:%d" % silent_peer.getsockname()[1],
                                         handshake_timeout_ms=300)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert fired  # Python runs the handler once the call returns; the waits saw every signal as EINTR
    handshake = report.phases[-1]
    assert (report.verdict, handshake.phase, handshake.status, handshake.detail) == (
        "unconfirmed", "handshake", "unconfirmed", NO_RESPONSE)
    assert handshake.duration_ms >= 300


@needs_peer
def test_a_standard_client_with_the_same_key_just_before(peer, prober, tmp_path):
    peer.real_client_handshake()
    report = prober.file(client_config(tmp_path, peer.info))
    assert report.verdict == "authentication_confirmed", rows(report)


# Each network misbehaves in both directions where it can; the probe of a
# healthy peer behind it still confirms everything asked.
MISBEHAVING = {
    "duplicating, delaying, junk-inserting, reordering": dict(
        to_client=Faults(duplicate=True, delay_ms=20, junk=1),
        # the keepalive and the first request, sent back to back, arrive swapped
        to_peer=Faults(delay_ms=20, junk=1, reorder=(2,))),
    "every datagram from the peer twice": dict(to_client=Faults(duplicate=True)),
    "junk of every kind before each datagram from the peer": dict(to_client=Faults(junk=4)),
}


@needs_peer
@pytest.mark.parametrize("faults", MISBEHAVING.values(), ids=MISBEHAVING.keys())
def test_a_healthy_peer_behind_a_misbehaving_network(peer, prober, tmp_path, faults):
    info = peer.info
    with UdpRelay(peer, **faults) as relay:
        config = client_config(tmp_path, info, endpoint=relay.endpoint)
        report = prober.file(config, ping=[info["peer_tunnel_ip"]] * 3,
                             resolve=["ok.quorlin.test", "two.quorlin.test", "ok.quorlin.test"])
        stats = relay.stats()
    assert report.verdict == "data_plane_confirmed", rows(report)
    assert [p.status for p in report.phases[4:]] == ["passed"] * 6, rows(report)
    # every datagram that reached the socket counts, dropped or not
    assert report.received_bytes <= stats["to_client"]["sent_bytes"]


@needs_peer
def test_forged_cookie_replies_cannot_make_the_prober_flood(peer, prober, tmp_path):
    with UdpRelay(peer, to_client=Faults(forge_cookie=True)) as relay:
        report = prober.file(client_config(tmp_path, peer.info, endpoint=relay.endpoint), handshake_timeout_ms=500)
        initiations = relay.stats()["to_peer"]["received_by_kind"]["initiation"]
    assert report.verdict == "unconfirmed", rows(report)
    assert initiations == 5  # the first, and one per each of the first 4 cookie replies
    assert report.phases[2].sent_bytes == 5 * 148


# A lost initiation or response costs one resend a second later, not the
# probe; a late answer to the first initiation that comes after the peer
# accepted the second must not leave the checks on a session the peer dropped.
LOSSES = {
    "the first initiation lost": dict(to_peer=Faults(drop_nth=1)),
    "the first response lost": dict(to_client=Faults(drop_nth=1)),
    "the first response overtaken by the second initiation": dict(
        to_client=Faults(late=((1, 1500), (2, 1000)))),
}


@needs_peer
@pytest.mark.parametrize("faults", LOSSES.values(), ids=LOSSES.keys())
def test_a_lost_handshake_datagram_is_sent_again(peer, prober, tmp_path, faults):
    info = peer.info
    with UdpRelay(peer, **faults) as relay:
        report = prober.file(client_config(tmp_path, info, endpoint=relay.endpoint), ping=[info["peer_tunnel_ip"]],
                             ping_timeout_ms=2000)
        initiations = relay.stats()["to_peer"]["received_by_kind"]["initiation"]
    assert report.verdict == "data_plane_confirmed", rows(report)
    assert (initiations, report.phases[2].status, report.phases[2].sent_bytes) == (2, "passed", 296)
    assert report.phases[4].status == "passed", rows(report)
