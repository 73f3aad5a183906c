"""Reading the configuration and private-key files: only regular files, bounded
sizes, UTF-8, and the loaders' messages passed through unchanged."""

import os
import tempfile
import threading

import pytest

from conftest import PEER_KEY, PRIVATE_KEY, refused
from quorlin import _quorlin

# With a bad peer key the key-file flow stops right after the private key was
# read and decoded, so these calls never start a probe.
PEER_KEY_MESSAGE = "PublicKey must be a base64-encoded 32-byte key"
PRIVATE_KEY_MESSAGE = "PrivateKey must be a base64-encoded 32-byte key"


def config_error(path) -> str:
    return refused(_quorlin.probe_file, path)


def key_error(path) -> str:
    return refused(_quorlin.probe_key_file, path, "not a key", "127.0.0.1:9")


# The reader's refusals are its own table (tests/input); here one passes
# through each caller. A pipe must be refused without being opened: a blocked
# open would hang.
@pytest.mark.parametrize("label, read", [("configuration", config_error), ("private key", key_error)])
def test_only_regular_files_are_read(tmp_path, label, read):
    path = tmp_path / "input"
    os.mkfifo(path)
    outcome = {}
    worker = threading.Thread(target=lambda: outcome.update(message=read(path)), daemon=True)
    worker.start()
    worker.join(timeout=30)
    assert not worker.is_alive(), "reading the input file blocked"
    assert outcome["message"] == f"{label} path {path} must be a regular file"


@pytest.mark.parametrize(
    "label, read, limit, content_at_limit, message_at_limit",
    [
        ("private key", key_error, 4096, lambda size: (PRIVATE_KEY + "\n").ljust(size), PEER_KEY_MESSAGE),
        ("configuration", config_error, 1048576, lambda size: "x" * size, "line 1 is not a section or key-value pair"),
    ],
    ids=["private key", "configuration"],
)
def test_size_limits(tmp_path, label, read, limit, content_at_limit, message_at_limit):
    at_limit = tmp_path / "at-limit"
    at_limit.write_text(content_at_limit(limit))
    assert at_limit.stat().st_size == limit
    assert read(at_limit) == message_at_limit

    over = tmp_path / "over-limit"
    over.write_text(content_at_limit(limit) + " ")
    assert read(over) == f"{label} file {over} exceeds the {limit}-byte limit"


@pytest.mark.parametrize(
    "label, read", [("WireGuard configuration", config_error), ("private key", key_error)], ids=["config", "key"]
)
@pytest.mark.parametrize("content", [b"\xff", PRIVATE_KEY.encode() + b"\n\xc3(", b"\xed\xa0\x80"], ids=repr)
def test_contents_must_be_utf8(tmp_path, label, read, content):
    path = tmp_path / "input"
    path.write_bytes(content)
    assert read(path) == f"{label} file must be valid UTF-8"


@pytest.mark.parametrize(
    "content, message",
    [
        (PRIVATE_KEY + "\n", PEER_KEY_MESSAGE),
        (" \t" + PRIVATE_KEY + "\r\n\n", PEER_KEY_MESSAGE),
        ("", PRIVATE_KEY_MESSAGE),
        (f"PrivateKey = {PRIVATE_KEY}\n", PRIVATE_KEY_MESSAGE),
    ],
    ids=["newline", "surrounding whitespace", "empty", "config line"],
)
def test_private_key_file_contents(tmp_path, content, message):
    path = tmp_path / "private.key"
    path.write_text(content)
    # Only the private key's error is reported when both keys are bad.
    assert key_error(path) == message


@pytest.mark.parametrize(
    "fields, message",
    [
        ({"endpoint": None}, "missing Peer.Endpoint"),
        ({"allowed_ips": "10.0.0.0/33"}, "Peer.AllowedIPs contains invalid IPv4 CIDR 10.0.0.0/33"),
    ],
)
def test_configuration_errors_pass_through_unchanged(write_config, fields, message):
    assert config_error(write_config(**fields)) == message


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to drop to another user")
def test_unreadable_file():
    # Root reads any file, so the refusal is observed from a forked child that
    # runs as nobody, in a directory that nobody may search.
    with tempfile.TemporaryDirectory(prefix="quorlin-unreadable-") as directory:
        os.chmod(directory, 0o755)
        path = os.path.join(directory, "private.key")
        with open(path, "w") as f:
            f.write(PRIVATE_KEY)
        os.chmod(path, 0)
        read_end, write_end = os.pipe()
        child = os.fork()
        if child == 0:  # pragma: no cover - runs in the child
            try:
                os.close(read_end)
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
                try:
                    _quorlin.probe_key_file(path, PEER_KEY, "127.0.0.1:9")
                    text = "no error"
                except _quorlin.ConfigurationError as error:
                    text = str(error)
                os.write(write_end, text.encode())
            finally:
                os._exit(0)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            message = pipe.read().decode()
        os.waitpid(child, 0)
        assert message == f"could not open private key file {path}: Permission denied (os error 13)"
