"""A healthy peer is never reported broken, whatever the network or the
process does around a probe: signals during the wait, and (through the relay
of tests/peer) duplicated, delayed, reordered and junk datagrams, forged
cookie replies, and a standard client that used the same key just before."""

from __future__ import annotations

import signal

from conftest import PEER_KEY
from quorlin import _quorlin

NO_RESPONSE = "no authenticated response before the handshake deadline"


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
