"""Binding and conversion of the entry functions' arguments.

An argument that converts is followed by the file check, so a call on a
missing file that raises the missing-file message has converted every argument.
"""

import collections.abc
import os
import pathlib

import pytest

from conftest import LIMIT_MESSAGE, PEER_KEY, missing_file_message, notes, refusal
from quorlin import _quorlin


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


Name = type("Name", (str,), {})


@pytest.mark.parametrize(
    "kwargs",
    [
        {"ping": ["10.0.0.1"]},
        {"ping": ("10.0.0.1",)},
        {"ping": RegisteredSequence("10.0.0.1")},
        {"ping": ProtocolSequence()},
        {"resolve": [Name("example.test")]},
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
    error = refusal(_quorlin.ConfigurationError, _quorlin.probe_file, missing_path, **kwargs)
    assert str(error) == missing_file_message("configuration", missing_path)


@pytest.mark.parametrize(
    "kwargs, parameter, message",
    [
        ({"ping": "10.0.0.1"}, "ping", "ping must be a sequence of str, not a str: write ping=['10.0.0.1']"),
        ({"resolve": Name("a")}, "resolve", "resolve must be a sequence of str, not a str: write resolve=['a']"),
        ({"ping": None}, "ping", None),
        ({"resolve": {"example.test"}}, "resolve", None),
        ({"resolve": (name for name in ["example.test"])}, "resolve", None),
        ({"resolve": ["example.test", 5]}, "resolve", None),
        ({"ping": b"10.0.0.1"}, "ping", None),
        ({"dns_server": 5}, "dns_server", None),
        # the first bad parameter in signature order is the one reported
        ({"ping": "10.0.0.1", "handshake_timeout_ms": 1.5}, "ping",
         "ping must be a sequence of str, not a str: write ping=['10.0.0.1']"),
        ({"dns_server": 1, "resolve": None}, "resolve", None),
    ],
    ids=repr,
)
def test_type_errors_carry_the_parameter_note(missing_path, kwargs, parameter, message):
    error = refusal(TypeError, _quorlin.probe_file, missing_path, **kwargs)
    assert notes(error) == [f"while processing '{parameter}'"]
    if message is not None:
        assert str(error) == message


@pytest.mark.parametrize("value", [1.5, "9000", 2**70, -(2**63) - 1, None, Index(2**64)], ids=repr)
def test_timeout_that_is_not_a_64_bit_integer(missing_path, value):
    error = refusal(_quorlin.ConfigurationError, _quorlin.probe_file, missing_path, deadline_ms=value)
    assert str(error) == "timeout " + LIMIT_MESSAGE
    assert notes(error) == ["while processing 'deadline_ms'"]
    assert error.__context__ is None  # the interpreter's own error is discarded


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"handshake_timeout_ms": 0}, f"handshake_timeout_ms {LIMIT_MESSAGE}"),
        ({"handshake_timeout_ms": -5}, f"handshake_timeout_ms {LIMIT_MESSAGE}"),
        ({"handshake_timeout_ms": 86400001}, f"handshake_timeout_ms {LIMIT_MESSAGE}"),
        ({"ping_timeout_ms": False}, f"ping_timeout_ms {LIMIT_MESSAGE}"),
        ({"dns_timeout_ms": -(2**63)}, f"dns_timeout_ms {LIMIT_MESSAGE}"),
        ({"deadline_ms": 2**63 - 1}, f"deadline_ms {LIMIT_MESSAGE}"),
        # the first in signature order, and only after the option texts
        ({"deadline_ms": 0, "dns_timeout_ms": 0}, f"dns_timeout_ms {LIMIT_MESSAGE}"),
        ({"ping": ["10.0.0.256"], "handshake_timeout_ms": 0}, "ping target must be an IPv4 address, got 10.0.0.256"),
    ],
    ids=repr,
)
def test_range_errors_have_no_note(missing_path, kwargs, message):
    error = refusal(_quorlin.ConfigurationError, _quorlin.probe_file, missing_path, **kwargs)
    assert str(error) == message
    assert notes(error) is None


@pytest.mark.parametrize(
    "call",
    [
        lambda p: _quorlin.probe_file(),
        lambda p: _quorlin.probe_file(p, ["10.0.0.1"]),
        lambda p: _quorlin.probe_file(p, config_path=p),
        lambda p: _quorlin.probe_file(p, pings=["10.0.0.1"]),
        lambda p: _quorlin.probe_key_file(p, PEER_KEY),
        lambda p: _quorlin.probe_key_file(p, PEER_KEY, "127.0.0.1:1", None),
        # binding fails before the path that cannot convert is looked at
        lambda p: _quorlin.probe_file(b"bytes path", bogus=1),
    ],
    ids=["missing", "too many positional", "twice", "unknown keyword", "missing endpoint", "address by position",
         "binding first"],
)
def test_binding_errors_are_type_errors_without_notes(missing_path, call):
    assert notes(refusal(TypeError, call, missing_path)) is None


@pytest.mark.parametrize(
    "call, label",
    [
        (lambda p: _quorlin.probe_file(config_path=str(p)), "configuration"),
        (lambda p: _quorlin.probe_file(pathlib.Path(p)), "configuration"),
        (lambda p: _quorlin.probe_file(PathLike(str(p))), "configuration"),
        (lambda p: _quorlin.probe_key_file(endpoint="127.0.0.1:1", peer_key=PEER_KEY, private_key_path=p),
         "private key"),
        (lambda p: _quorlin.probe_key_file(p, PEER_KEY, "127.0.0.1:1", address=None, dns_server=None),
         "private key"),
    ],
    ids=["by keyword", "Path", "__fspath__", "raw-key by keyword", "None address"],
)
def test_accepted_paths_and_required_arguments(missing_path, call, label):
    error = refusal(_quorlin.ConfigurationError, call, missing_path)
    assert str(error) == missing_file_message(label, missing_path)


@pytest.mark.parametrize(
    "value", [b"/tmp/x.conf", PathLike(b"/tmp/x.conf"), None, 5], ids=["bytes", "fspath bytes", "None", "int"]
)
def test_refused_paths(value):
    assert notes(refusal(TypeError, _quorlin.probe_file, value)) == ["while processing 'config_path'"]


def test_surrogate_escaped_path_is_shown_with_replacement_characters(tmp_path):
    path = os.fsdecode(os.fsencode(str(tmp_path)) + b"/bad-\xff\xe2\x82-name")
    error = refusal(_quorlin.ConfigurationError, _quorlin.probe_file, path)
    assert str(error) == missing_file_message("configuration", f"{tmp_path}/bad-\ufffd\ufffd-name")


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
    ids=repr,
)
def test_raw_key_conversion_failures(missing_path, args, kwargs, parameter, error):
    caught = refusal(error, _quorlin.probe_key_file, missing_path, *args, **kwargs)
    assert notes(caught) == [f"while processing '{parameter}'"]
