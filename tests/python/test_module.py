"""The module's surface: attributes, classes, exceptions and signatures."""

import importlib.util
import inspect

import pytest

import quorlin
from quorlin import _quorlin

MODULE_ATTRIBUTES = [
    "__version__",
    "ProbeReport",
    "PhaseResult",
    "QuorlinError",
    "ConfigurationError",
    "probe_file",
    "probe_key_file",
]


def test_attributes_are_added_in_order():
    import_machinery = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert [name for name in vars(_quorlin) if name not in import_machinery] == MODULE_ATTRIBUTES


def test_version_and_docstring():
    assert _quorlin.__version__ == "0.1.6"
    assert _quorlin.__doc__ == ""
    assert quorlin.__version__ == "0.1.6"


def test_package_reexports_the_native_names():
    for name in MODULE_ATTRIBUTES:
        assert getattr(quorlin, name) is getattr(_quorlin, name)
    assert sorted(quorlin.__all__) == sorted(MODULE_ATTRIBUTES)


@pytest.mark.parametrize(
    "cls, qualname, base",
    [
        (_quorlin.QuorlinError, "QuorlinError", Exception),
        (_quorlin.ConfigurationError, "ConfigurationError", _quorlin.QuorlinError),
    ],
)
def test_exception_classes(cls, qualname, base):
    assert cls.__module__ == "_quorlin"
    assert cls.__qualname__ == qualname
    assert cls.__bases__ == (base,)
    assert cls.__doc__ is None
    error = cls("a message")
    assert error.args == ("a message",)
    assert str(error) == "a message"


def test_configuration_error_is_caught_as_quorlin_error(missing_path):
    with pytest.raises(_quorlin.QuorlinError) as caught:
        _quorlin.probe_file(missing_path)
    assert type(caught.value) is _quorlin.ConfigurationError
    assert len(caught.value.args) == 1


@pytest.mark.parametrize("cls", [_quorlin.ProbeReport, _quorlin.PhaseResult], ids=lambda c: c.__name__)
class TestReportClasses:
    def test_names(self, cls):
        assert cls.__module__ == "quorlin._quorlin"
        assert cls.__qualname__ == cls.__name__
        assert cls.__doc__ is None

    def test_python_cannot_instantiate(self, cls):
        with pytest.raises(TypeError):
            cls()

    def test_python_cannot_subclass(self, cls):
        with pytest.raises(TypeError):
            type("Derived", (cls,), {})

    def test_type_is_immutable_without_dict_or_weakrefs(self, cls):
        assert cls.__dictoffset__ == 0
        assert cls.__weakrefoffset__ == 0
        with pytest.raises(TypeError):
            cls.extra = 1

    def test_to_json_signature(self, cls):
        assert cls.to_json.__doc__ is None
        assert cls.to_json.__text_signature__ == "($self)"

    def test_defines_nothing_beyond_attributes_and_to_json(self, cls):
        own = {name for name in vars(cls) if not name.startswith("__")}
        assert "to_json" in own
        assert cls.__eq__ is object.__eq__
        assert cls.__hash__ is object.__hash__
        assert cls.__str__ is object.__str__


def test_report_attributes_in_declared_order():
    getters = [name for name, value in vars(_quorlin.ProbeReport).items() if inspect.isgetsetdescriptor(value)]
    assert getters == [
        "schema_version",
        "verdict",
        "endpoint",
        "resolved_endpoint",
        "local_udp_address",
        "client_public_key",
        "duration_ms",
        "sent_bytes",
        "received_bytes",
        "phases",
    ]
    getters = [name for name, value in vars(_quorlin.PhaseResult).items() if inspect.isgetsetdescriptor(value)]
    assert getters == ["phase", "target", "status", "duration_ms", "sent_bytes", "received_bytes", "detail"]


@pytest.mark.parametrize(
    "function, signature",
    [
        (
            _quorlin.probe_file,
            "(config_path, *, ping=(), resolve=(), dns_server=None, handshake_timeout_ms=3000, "
            "ping_timeout_ms=1000, dns_timeout_ms=2000, deadline_ms=9000)",
        ),
        (
            _quorlin.probe_key_file,
            "(private_key_path, peer_key, endpoint, *, address=None, allowed_ips=(), ping=(), resolve=(), "
            "dns_server=None, handshake_timeout_ms=3000, ping_timeout_ms=1000, dns_timeout_ms=2000, "
            "deadline_ms=9000)",
        ),
    ],
    ids=["probe_file", "probe_key_file"],
)
def test_entry_function_signatures(function, signature):
    assert function.__doc__ is None
    assert str(inspect.signature(function)) == signature
    parameters = list(inspect.signature(function).parameters.values())
    positional = [p for p in parameters if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
    assert all(p.default is inspect.Parameter.empty for p in positional)
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in parameters[len(positional) :])


def test_a_second_module_execution_reuses_the_types():
    spec = importlib.util.find_spec("quorlin._quorlin")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not _quorlin
    for name in ("ProbeReport", "PhaseResult", "QuorlinError", "ConfigurationError"):
        assert getattr(again, name) is getattr(_quorlin, name)
