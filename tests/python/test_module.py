"""The module's surface: attributes, classes, exceptions and signatures."""

import importlib.metadata
import importlib.util
import inspect

import pytest

import quorlin
from quorlin import _quorlin

MODULE_ATTRIBUTES = ["__version__", "ProbeReport", "PhaseResult", "QuorlinError", "ConfigurationError",
                     "probe_file", "probe_key_file"]


def test_attributes_version_and_package():
    import_machinery = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert [name for name in vars(_quorlin) if name not in import_machinery] == MODULE_ATTRIBUTES
    # The version is written once, in the package's metadata.
    assert (_quorlin.__version__, _quorlin.__doc__) == (importlib.metadata.version("quorlin"), "")
    assert sorted(quorlin.__all__) == sorted(MODULE_ATTRIBUTES)
    for name in MODULE_ATTRIBUTES:
        assert getattr(quorlin, name) is getattr(_quorlin, name)


def test_exception_classes(missing_path):
    for cls, name, base in [(_quorlin.QuorlinError, "QuorlinError", Exception),
                            (_quorlin.ConfigurationError, "ConfigurationError", _quorlin.QuorlinError)]:
        assert (cls.__module__, cls.__qualname__, cls.__bases__, cls.__doc__) == ("_quorlin", name, (base,), None)
    with pytest.raises(_quorlin.QuorlinError) as caught:
        _quorlin.probe_file(missing_path)
    assert type(caught.value) is _quorlin.ConfigurationError
    assert len(caught.value.args) == 1


@pytest.mark.parametrize(
    "cls, attributes",
    [
        (_quorlin.ProbeReport, ["schema_version", "verdict", "endpoint", "resolved_endpoint", "local_udp_address",
                                "client_public_key", "duration_ms", "sent_bytes", "received_bytes", "phases"]),
        (_quorlin.PhaseResult, ["phase", "target", "status", "duration_ms", "sent_bytes", "received_bytes",
                                "detail"]),
    ],
    ids=lambda value: value.__name__ if isinstance(value, type) else "",
)
def test_report_classes(cls, attributes):
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("quorlin._quorlin", cls.__name__, None)
    assert [name for name, value in vars(cls).items() if inspect.isgetsetdescriptor(value)] == attributes
    assert (cls.to_json.__doc__, cls.to_json.__text_signature__) == (None, "($self)")
    # nothing beyond identity: no comparison, hashing or str of their own
    assert (cls.__eq__, cls.__hash__, cls.__str__) == (object.__eq__, object.__hash__, object.__str__)
    # no instance dict, no weak references, and the type itself cannot change
    assert (cls.__dictoffset__, cls.__weakrefoffset__) == (0, 0)
    with pytest.raises(TypeError):
        cls.extra = 1
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize(
    "function, signature",
    [
        (_quorlin.probe_file,
         "(config_path, *, ping=(), resolve=(), dns_server=None, handshake_timeout_ms=3000, "
         "ping_timeout_ms=1000, dns_timeout_ms=2000, deadline_ms=9000, ping_count=1, ping_interval_ms=200, "
         "mtu_check=False, mtu=None, tcp=(), tcp_timeout_ms=3000, tls=(), tls_server_name=None, ca_file=None, "
         "http=(), http_status=None, http_expect=None)"),
        (_quorlin.probe_key_file,
         "(private_key_path, peer_key, endpoint, *, address=None, allowed_ips=(), ping=(), resolve=(), "
         "dns_server=None, handshake_timeout_ms=3000, ping_timeout_ms=1000, dns_timeout_ms=2000, deadline_ms=9000, "
         "ping_count=1, ping_interval_ms=200, mtu_check=False, mtu=None, tcp=(), tcp_timeout_ms=3000, tls=(), "
         "tls_server_name=None, ca_file=None, http=(), http_status=None, http_expect=None)"),
    ],
    ids=["probe_file", "probe_key_file"],
)
def test_entry_function_signatures(function, signature):
    assert function.__doc__ is None
    assert str(inspect.signature(function)) == signature


def test_a_second_module_execution_reuses_the_types():
    spec = importlib.util.find_spec("quorlin._quorlin")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not _quorlin
    for name in ("ProbeReport", "PhaseResult", "QuorlinError", "ConfigurationError"):
        assert getattr(again, name) is getattr(_quorlin, name)
