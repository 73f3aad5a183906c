"""The report objects a run returns: attributes, immutability, reprs and their
quoting, and JSON that agrees between the report and its phases.

Runs here stay on the machine: endpoints that fail before any lookup (no port),
or a loopback port that refuses or never answers."""

import gc
import json
import threading

import pytest

from conftest import CLIENT_PUBLIC_KEY, PEER_KEY
from quorlin import _quorlin

ADDRESSES = {"address": "10.0.0.2/32", "allowed_ips": ["10.0.0.0/24"], "dns_server": "10.0.0.1"}


def unresolvable(key_file, endpoint="no-port-here", **kwargs):
    # Without a ":" the endpoint fails resolution before any lookup is made.
    assert ":" not in endpoint
    return _quorlin.probe_key_file(key_file, PEER_KEY, endpoint, **kwargs)


def test_report_of_a_failed_resolution(key_file):
    report = unresolvable(key_file)
    assert report.schema_version == 1
    assert report.verdict == "local_error"
    assert report.endpoint == "no-port-here"
    assert report.resolved_endpoint is None
    assert report.local_udp_address is None
    assert report.client_public_key == CLIENT_PUBLIC_KEY
    assert (report.sent_bytes, report.received_bytes) == (0, 0)
    assert isinstance(report.duration_ms, int)
    (phase,) = report.phases
    assert isinstance(phase, _quorlin.PhaseResult)
    assert (phase.phase, phase.target, phase.status) == ("endpoint_resolution", None, "error")
    assert isinstance(phase.detail, str) and phase.detail
    assert repr(report) == (
        f'ProbeReport(verdict="local_error", endpoint="no-port-here", duration_ms={report.duration_ms}, '
        "sent_bytes=0, received_bytes=0, phases=1)"
    )
    assert str(report) == repr(report)
    assert repr(phase) == (
        f'PhaseResult(phase="endpoint_resolution", target=None, status="error", duration_ms={phase.duration_ms}, '
        "sent_bytes=0, received_bytes=0)"
    )
    document = json.loads(report.to_json())
    assert document["resolved_endpoint"] is None and document["local_udp_address"] is None


def test_refused_handshake_with_skipped_checks(key_file, closed_udp_port):
    endpoint = f"127.0.0.1:{closed_udp_port}"
    report = _quorlin.probe_key_file(
        key_file, PEER_KEY, endpoint, ping=["10.0.0.1", "10.0.0.1"], resolve=["a.test"], **ADDRESSES
    )
    assert report.resolved_endpoint == endpoint
    assert report.local_udp_address.startswith("127.0.0.1:")
    names = [(phase.phase, phase.target, phase.status) for phase in report.phases]
    assert names[:2] == [("endpoint_resolution", endpoint, "passed"), ("socket", report.local_udp_address, "passed")]
    assert names[2][:2] == ("handshake", endpoint)
    # the duplicate target stays twice
    assert names[3:] == [("ping", "10.0.0.1", "skipped"), ("ping", "10.0.0.1", "skipped"), ("dns", "a.test", "skipped")]
    assert repr(report.phases[3]) == (
        'PhaseResult(phase="ping", target=Some("10.0.0.1"), status="skipped", duration_ms=0, sent_bytes=0, '
        "received_bytes=0)"
    )
    assert report.sent_bytes == sum(phase.sent_bytes for phase in report.phases)
    assert report.received_bytes == sum(phase.received_bytes for phase in report.phases)


def test_silent_peer_is_unconfirmed(key_file, silent_peer):
    endpoint = "127.0.0.1:%d" % silent_peer.getsockname()[1]
    report = _quorlin.probe_key_file(key_file, PEER_KEY, endpoint, handshake_timeout_ms=200, deadline_ms=5000)
    assert report.verdict == "unconfirmed"
    assert report.phases[-1].phase == "handshake"
    assert report.phases[-1].status == "unconfirmed"
    assert report.sent_bytes >= 148


def test_phases_json_agrees_with_the_report(key_file, closed_udp_port):
    report = _quorlin.probe_key_file(
        key_file, PEER_KEY, f"127.0.0.1:{closed_udp_port}", ping=["10.0.0.1"], **ADDRESSES
    )
    assert report.phases is report.phases
    text = report.to_json()
    assert text == report.to_json()
    # character for character: the report's array is the phases' own texts
    assert text.endswith('"phases":[' + ",".join(phase.to_json() for phase in report.phases) + "]}")
    document = json.loads(text)
    assert [json.loads(phase.to_json()) for phase in report.phases] == document["phases"]
    for phase, entry in zip(report.phases, document["phases"]):
        assert entry == {
            key: value
            for key, value in {
                "phase": phase.phase,
                "target": phase.target,
                "status": phase.status,
                "duration_ms": phase.duration_ms,
                "sent_bytes": phase.sent_bytes,
                "received_bytes": phase.received_bytes,
                "detail": phase.detail,
            }.items()
            if value is not None
        }
    assert document["endpoint"] == report.endpoint
    assert document["client_public_key"] == report.client_public_key
    assert (document["duration_ms"], document["sent_bytes"]) == (report.duration_ms, report.sent_bytes)


# Characters and how the repr writes them; the JSON keeps them raw except
# for its own escapes.
QUOTING = [
    ('"', '\\"'),
    ("\\", "\\\\"),
    ("\t", "\\t"),
    ("\r", "\\r"),
    ("\n", "\\n"),
    ("\0", "\\0"),
    ("'", "'"),
    (" ", " "),
    ("\x01", "\\u{1}"),
    ("\x7f", "\\u{7f}"),
    ("\x85", "\\u{85}"),  # control
    ("\u00a0", "\\u{a0}"),  # space separator
    ("\u3000", "\\u{3000}"),
    ("\u2028", "\\u{2028}"),  # line separator
    ("\u2029", "\\u{2029}"),  # paragraph separator
    ("\u200b", "\\u{200b}"),  # format
    ("\ufeff", "\\u{feff}"),
    ("\U000e0001", "\\u{e0001}"),
    ("\ue000", "\\u{e000}"),  # private use
    ("\U0010fffd", "\\u{10fffd}"),
    ("\u0378", "\\u{378}"),  # unassigned
    ("\U0003fffe", "\\u{3fffe}"),
    ("\u0301", "\\u{301}"),  # non-spacing mark
    ("\u20dd", "\\u{20dd}"),  # enclosing mark
    ("\u09be", "\\u{9be}"),  # spacing mark that extends graphemes
    ("\uff9e", "\\u{ff9e}"),  # modifier letter that extends graphemes
    ("\u0903", "\u0903"),  # spacing mark that does not
    ("é", "é"),
    ("\u4e2d", "\u4e2d"),
    ("\U0001f600", "\U0001f600"),
    ("\U0001f3fb", "\U0001f3fb"),  # emoji modifier: not grapheme-extend
]


@pytest.mark.parametrize("character, written", QUOTING, ids=[hex(ord(c)) for c, _ in QUOTING])
def test_repr_quoting(key_file, character, written):
    endpoint = f"a{character}b"
    report = unresolvable(key_file, endpoint)
    assert report.endpoint == endpoint
    assert repr(report).startswith(f'ProbeReport(verdict="local_error", endpoint="a{written}b", duration_ms=')
    assert json.loads(report.to_json())["endpoint"] == endpoint


def test_json_escapes_of_the_endpoint(key_file):
    report = unresolvable(key_file, 'q"b\\s\n\x01é')
    assert '"endpoint":"q\\"b\\\\s\\n\\u0001é",' in report.to_json()


@pytest.mark.parametrize(
    "target, attribute",
    [("report", "verdict"), ("report", "phases"), ("report", "json_text"), ("phase", "detail"), ("phase", "status")],
)
def test_objects_are_read_only(key_file, target, attribute):
    report = unresolvable(key_file)
    obj = report if target == "report" else report.phases[0]
    with pytest.raises(AttributeError):
        setattr(obj, attribute, "changed")
    with pytest.raises(AttributeError):
        delattr(obj, attribute)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(obj)


def test_objects_take_part_in_garbage_collection(key_file):
    report = unresolvable(key_file)
    assert gc.is_tracked(report) and gc.is_tracked(report.phases[0])
    assert report.phases in gc.get_referents(report)
    phases = report.phases
    del report
    gc.collect()
    assert phases[0].phase == "endpoint_resolution"


def test_probes_run_in_parallel_threads(key_file, silent_peer):
    # The interpreter lock is released during the run: while four probes wait
    # for their handshake responses, this thread receives all four initiations.
    endpoint = "127.0.0.1:%d" % silent_peer.getsockname()[1]
    reports = []

    def worker():
        report = _quorlin.probe_key_file(key_file, PEER_KEY, endpoint, handshake_timeout_ms=2000, deadline_ms=5000)
        reports.append(report)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    sources = set()
    while len(sources) < 4:
        datagram, source = silent_peer.recvfrom(2048)
        assert datagram[0] == 1 and len(datagram) == 148  # a handshake initiation
        sources.add(source)
    assert all(thread.is_alive() for thread in threads) and not reports
    for thread in threads:
        thread.join(timeout=30)
    assert [report.verdict for report in reports] == ["unconfirmed"] * 4
