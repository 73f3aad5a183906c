"""Binding and conversion of the entry functions' arguments.

An argument that converts is followed by the file check, so a call on a
missing file that raises the missing-file message has converted every argument.
"""

import collections.abc
import os
import pathlib

import pytest

from conftest import LIMIT_MESSAGE, PEER_KEY, missing_file_message, notes
from quorlin import _quorlin

TIMEOUT_CONVERSION = "timeout " + LIMIT_MESSAGE


class RegisteredSequence:
    """A sequence only by registration: no __getitem__."""

    def __init__(self, *items):
        self.items = items

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        return len(self.items)


collections.abc.Sequence.register(RegisteredSequence)


class ProtocolSequence:
    """A sequence only by the protocol: __getitem__ until IndexError."""

    def __getitem__(self, index):
        return ["10.0.0.1", "10.0.0.2"][index]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def expect_file_error(missing_path, **kwargs):
    with pytest.raises(_quorlin.ConfigurationError) as caught:
        _quorlin.probe_file(missing_path, **kwargs)
    assert str(caught.value) == missing_file_message("configuration", missing_path)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"ping": ["10.0.0.1"]},
        {"ping": ("10.0.0.1",)},
        {"ping": RegisteredSequence("10.0.0.1")},
        {"ping": ProtocolSequence()},
        {"resolve": [type("Name", (str,), {})("example.test")]},
        {"dns_server": None},
        {"dns_server": "10.0.0.1"},
        {"handshake_timeout_ms": 86400000},
        {"ping_timeout_ms": True},
        {"dns_timeout_ms": Index(5)},
        {"deadline_ms": 1},
    ],
    ids=repr,
)
def test_accepted_values(missing_path, kwargs):
    expect_file_error(missing_path, **kwargs)


@pytest.mark.parametrize(
    "kwargs, parameter, message",
    [
        ({"ping": "10.0.0.1"}, "ping", "Can't extract `str` to `Vec`"),
        ({"resolve": type("Name", (str,), {})("a")}, "resolve", "Can't extract `str` to `Vec`"),
        ({"ping": None}, "ping", None),
        ({"resolve": {"example.test"}}, "resolve", None),
        ({"resolve": (name for name in ["example.test"])}, "resolve", None),
        ({"resolve": ["example.test", 5]}, "resolve", None),
        ({"ping": b"10.0.0.1"}, "ping", None),
        ({"dns_server": 5}, "dns_server", None),
        # the first bad parameter in signature order is the one reported
        ({"ping": "10.0.0.1", "handshake_timeout_ms": 1.5}, "ping", "Can't extract `str` to `Vec`"),
        ({"dns_server": 1, "resolve": None}, "resolve", None),
    ],
    ids=repr,
)
def test_type_errors_carry_the_parameter_note(missing_path, kwargs, parameter, message):
    with pytest.raises(TypeError) as caught:
        _quorlin.probe_file(missing_path, **kwargs)
    assert notes(caught.value) == [f"while processing '{parameter}'"]
    if message is not None:
        assert str(caught.value) == message


@pytest.mark.parametrize("value", [1.5, "9000", 2**70, -(2**63) - 1, None, Index(2**64)], ids=repr)
def test_timeout_that_is_not_a_64_bit_integer(missing_path, value):
    with pytest.raises(_quorlin.ConfigurationError) as caught:
        _quorlin.probe_file(missing_path, deadline_ms=value)
    assert str(caught.value) == TIMEOUT_CONVERSION
    assert notes(caught.value) == ["while processing 'deadline_ms'"]
    assert caught.value.__context__ is None  # the interpreter's own error is discarded


@pytest.mark.parametrize(
    "parameter, value",
    [
        ("handshake_timeout_ms", 0),
        ("handshake_timeout_ms", -5),
        ("handshake_timeout_ms", 86400001),
        ("ping_timeout_ms", False),
        ("dns_timeout_ms", -(2**63)),
        ("deadline_ms", 2**63 - 1),
    ],
)
def test_timeout_out_of_range_names_the_parameter_without_a_note(missing_path, parameter, value):
    with pytest.raises(_quorlin.ConfigurationError) as caught:
        _quorlin.probe_file(missing_path, **{parameter: value})
    assert str(caught.value) == f"{parameter} {LIMIT_MESSAGE}"
    assert notes(caught.value) is None


def test_range_is_tested_after_the_option_texts(missing_path):
    with pytest.raises(_quorlin.ConfigurationError) as caught:
        _quorlin.probe_file(missing_path, ping=["10.0.0.256"], handshake_timeout_ms=0)
    assert str(caught.value) == "ping target must be an IPv4 address, got 10.0.0.256"


def test_first_bad_timeout_in_signature_order_is_reported(missing_path):
    with pytest.raises(_quorlin.ConfigurationError) as caught:
        _quorlin.probe_file(missing_path, deadline_ms=0, dns_timeout_ms=0)
    assert str(caught.value) == f"dns_timeout_ms {LIMIT_MESSAGE}"


class TestBinding:
    @pytest.mark.parametrize(
        "call",
        [
            lambda p: _quorlin.probe_file(),
            lambda p: _quorlin.probe_file(p, ["10.0.0.1"]),
            lambda p: _quorlin.probe_file(p, config_path=p),
            lambda p: _quorlin.probe_file(p, pings=["10.0.0.1"]),
            lambda p: _quorlin.probe_key_file(p, PEER_KEY),
            lambda p: _quorlin.probe_key_file(p, PEER_KEY, "127.0.0.1:1", None),
        ],
        ids=["missing", "too many positional", "twice", "unknown keyword", "missing endpoint", "address by position"],
    )
    def test_binding_errors_are_type_errors_without_notes(self, missing_path, call):
        with pytest.raises(TypeError) as caught:
            call(missing_path)
        assert notes(caught.value) is None

    def test_binding_comes_before_conversion(self):
        # a path that cannot be converted is not looked at while binding fails
        with pytest.raises(TypeError) as caught:
            _quorlin.probe_file(b"bytes path", bogus=1)
        assert "bogus" in str(caught.value)
        assert notes(caught.value) is None

    def test_required_parameters_by_keyword(self, missing_path):
        with pytest.raises(_quorlin.ConfigurationError) as caught:
            _quorlin.probe_file(config_path=missing_path)
        assert str(caught.value) == missing_file_message("configuration", missing_path)
        with pytest.raises(_quorlin.ConfigurationError) as caught:
            _quorlin.probe_key_file(endpoint="127.0.0.1:1", peer_key=PEER_KEY, private_key_path=missing_path)
        assert str(caught.value) == missing_file_message("private key", missing_path)


class TestPaths:
    @pytest.mark.parametrize("wrap", [str, pathlib.Path, PathLike], ids=["str", "Path", "__fspath__"])
    def test_str_and_path_objects(self, missing_path, wrap):
        with pytest.raises(_quorlin.ConfigurationError) as caught:
            _quorlin.probe_file(wrap(str(missing_path)))
        assert str(caught.value) == missing_file_message("configuration", missing_path)

    @pytest.mark.parametrize(
        "value", [b"/tmp/x.conf", PathLike(b"/tmp/x.conf"), None, 5], ids=["bytes", "fspath bytes", "None", "int"]
    )
    def test_refused_paths(self, value):
        with pytest.raises(TypeError) as caught:
            _quorlin.probe_file(value)
        assert notes(caught.value) == ["while processing 'config_path'"]

    def test_surrogate_escaped_path_is_shown_with_replacement_characters(self, tmp_path):
        path = os.fsdecode(os.fsencode(str(tmp_path)) + b"/bad-\xff\xe2\x82-name")
        with pytest.raises(_quorlin.ConfigurationError) as caught:
            _quorlin.probe_file(path)
        shown = os.fsencode(path).decode("utf-8", "replace")
        assert "\ufffd\ufffd-name" in shown
        assert str(caught.value) == missing_file_message("configuration", shown)


class TestRawKeyConversion:
    @pytest.mark.parametrize(
        "args, kwargs, parameter, error",
        [
            ((PEER_KEY.encode(), "127.0.0.1:1"), {}, "peer_key", TypeError),
            ((None, "127.0.0.1:1"), {}, "peer_key", TypeError),
            ((PEER_KEY, 51820), {}, "endpoint", TypeError),
            ((PEER_KEY, "\udc80:1"), {}, "endpoint", UnicodeEncodeError),
            ((PEER_KEY, "127.0.0.1:1"), {"address": 5}, "address", TypeError),
            ((PEER_KEY, "127.0.0.1:1"), {"allowed_ips": "10.0.0.0/24"}, "allowed_ips", TypeError),
            ((PEER_KEY, "127.0.0.1:1"), {"allowed_ips": None}, "allowed_ips", TypeError),
            ((PEER_KEY, "127.0.0.1:1"), {"allowed_ips": ["\ud800"]}, "allowed_ips", UnicodeEncodeError),
            # signature order: peer_key before endpoint, address before ping
            ((5, 6), {}, "peer_key", TypeError),
            ((PEER_KEY, "127.0.0.1:1"), {"ping": "x", "address": 1}, "address", TypeError),
        ],
    )
    def test_conversion_failures(self, missing_path, args, kwargs, parameter, error):
        with pytest.raises(error) as caught:
            _quorlin.probe_key_file(missing_path, *args, **kwargs)
        assert type(caught.value) is error
        assert notes(caught.value) == [f"while processing '{parameter}'"]

    def test_none_address_is_the_same_as_omitted(self, missing_path):
        with pytest.raises(_quorlin.ConfigurationError) as caught:
            _quorlin.probe_key_file(missing_path, PEER_KEY, "127.0.0.1:1", address=None, dns_server=None)
        assert str(caught.value) == missing_file_message("private key", missing_path)
