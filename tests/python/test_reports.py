"""The report objects a run returns: attributes, immutability, reprs and their
quoting, and JSON that agrees between the report and its phases.

Runs here stay on the machine: endpoints that fail before any lookup (no port),
or a loopback port that refuses."""

import gc
import json

import pytest

from conftest import CLIENT_PUBLIC_KEY, PEER_KEY
from quorlin import _quorlin

ADDRESSES = {"address": "10.0.0.2/32", "allowed_ips": ["10.0.0.0/24"], "dns_server": "10.0.0.1"}


def unresolvable(key_file, endpoint="no-port-here"):
    # Without a ":" the endpoint fails resolution before any lookup is made.
    assert ":" not in endpoint
    return _quorlin.probe_key_file(key_file, PEER_KEY, endpoint)


def test_report_of_a_failed_resolution(key_file):
    report = unresolvable(key_file)
    assert (report.schema_version, report.verdict, report.endpoint) == (1, "local_error", "no-port-here")
    assert (report.resolved_endpoint, report.local_udp_address) == (None, None)
    assert (report.client_public_key, report.sent_bytes, report.received_bytes) == (CLIENT_PUBLIC_KEY, 0, 0)
    (phase,) = report.phases
    assert (phase.phase, phase.target, phase.status) == ("endpoint_resolution", None, "error")
    assert repr(report) == (
        f'ProbeReport(verdict="local_error", endpoint="no-port-here", duration_ms={report.duration_ms}, '
        "sent_bytes=0, received_bytes=0, phases=1)"
    )
    assert str(report) == repr(report)
    assert repr(phase) == (
        f'PhaseResult(phase="endpoint_resolution", target=None, status="error", duration_ms={phase.duration_ms}, '
        "sent_bytes=0, received_bytes=0)"
    )


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
    # character for character: the report's array is the phases' own texts
    assert report.phases is report.phases
    text = report.to_json()
    assert text.endswith('"phases":[' + ",".join(phase.to_json() for phase in report.phases) + "]}")
    assert [json.loads(phase.to_json()) for phase in report.phases] == json.loads(text)["phases"]


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
    ("\u2028", "\\u{2028}"),  # line separator
    ("\u2029", "\\u{2029}"),  # paragraph separator
    ("\u200b", "\\u{200b}"),  # format
    ("\U000e0001", "\\u{e0001}"),
    ("\ue000", "\\u{e000}"),  # private use
    ("\u0378", "\\u{378}"),  # unassigned
    ("\U0003fffe", "\\u{3fffe}"),
    ("\u0301", "\\u{301}"),  # non-spacing mark
    ("\u20dd", "\\u{20dd}"),  # enclosing mark
    ("\u09be", "\\u{9be}"),  # spacing mark that extends graphemes
    ("\uff9e", "\\u{ff9e}"),  # modifier letter that extends graphemes
    ("\u0903", "\u0903"),  # spacing mark that does not
    ("é", "é"),
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


def test_objects_are_read_only_and_collectable(key_file):
    report = unresolvable(key_file)
    for obj, attribute in [(report, "verdict"), (report, "phases"), (report, "json_text"),
                           (report.phases[0], "detail"), (report.phases[0], "status")]:
        with pytest.raises(AttributeError):
            setattr(obj, attribute, "changed")
        with pytest.raises(AttributeError):
            delattr(obj, attribute)
    assert gc.is_tracked(report) and gc.is_tracked(report.phases[0])
    assert report.phases in gc.get_referents(report)
    phases = report.phases
    del report
    gc.collect()
    assert phases[0].phase == "endpoint_resolution"
