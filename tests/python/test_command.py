"""The `quorlin` command: modes, refusals (exit status 3, one line on stderr,
no traceback) and what it prints; the exit status of each verdict is checked
against the real peer (test_command_real_peer.py)."""

import os
import subprocess
import sys

import pytest

from conftest import LIMIT_MESSAGE, PEER_KEY, missing_file_message
from quorlin import __main__ as command


def run(capsys, *argv):
    status = command.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize(
    "argv, message",
    [
        ([], "quorlin: give a configuration file, or --private-key-file, --peer-key, --endpoint\n"),
        (["--peer-key", PEER_KEY, "--endpoint", "127.0.0.1:9"], "quorlin: give a configuration file, or --private-key-file\n"),
        (["wg0.conf", "--peer-key", PEER_KEY], "quorlin: --peer-key cannot be combined with a configuration file\n"),
        (["wg0.conf", "--allowed-ip", "10.0.0.0/24"], "quorlin: --allowed-ip cannot be combined with a configuration file\n"),
        (["wg0.conf", "--address", ""], "quorlin: --address cannot be combined with a configuration file\n"),
        (["wg0.conf", "--deadline-ms", "soon"], "quorlin: argument --deadline-ms: invalid int value: 'soon'\n"),
        (["wg0.conf", "--bogus"], "quorlin: unrecognized arguments: --bogus\n"),
        (["a.conf", "b.conf"], "quorlin: unrecognized arguments: b.conf\n"),
    ],
    ids=repr,
)
def test_usage_errors_exit_3(capsys, argv, message):
    status, out, err = run(capsys, *argv)
    assert status == 3
    assert out == ""
    assert err.startswith("usage: quorlin")
    assert err.endswith(message)


@pytest.mark.parametrize(
    "extra, message",
    [
        ([], None),
        (["--ping", "10.0.0.256"], "ping target must be an IPv4 address, got 10.0.0.256"),
        (["--handshake-timeout-ms", "0"], f"handshake_timeout_ms {LIMIT_MESSAGE}"),
    ],
)
def test_configuration_errors_exit_3_with_one_line(capsys, missing_path, extra, message):
    status, out, err = run(capsys, str(missing_path), *extra)
    assert status == 3
    assert out == ""
    assert err == f"quorlin: {message or missing_file_message('configuration', missing_path)}\n"


def raw_key_argv(key_file, endpoint, *extra):
    return ["--private-key-file", str(key_file), "--peer-key", PEER_KEY, "--endpoint", endpoint, *extra]


@pytest.mark.parametrize(
    "extra, message",
    [
        (["--address", "10.0.0.2/32"], "address and at least one allowed_ips entry must be supplied together"),
        (["--address", "10.0.0.2/32", "--allowed-ip", "10.0.0.0/24", "--resolve", "a.test"],
         "resolve requires an IPv4 dns_server in raw-key mode"),
        (["--address", "10.0.0.2/32", "--allowed-ip", "10.0.0.0/24", "--allowed-ip", "x"],
         "allowed_ips entry must be an IPv4 CIDR, got x"),
    ],
)
def test_raw_key_mode_passes_its_options(capsys, missing_path, extra, message):
    assert run(capsys, *raw_key_argv(missing_path, "127.0.0.1:9", *extra)) == (3, "", f"quorlin: {message}\n")


def test_module_entry_point(missing_path):
    # `python -m quorlin` runs the same command in a fresh interpreter.
    completed = subprocess.run(
        [sys.executable, "-m", "quorlin", str(missing_path)],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    assert completed.returncode == 3
    assert completed.stdout == ""
    assert completed.stderr == f"quorlin: {missing_file_message('configuration', missing_path)}\n"


def test_table_output_keeps_control_characters_off_the_terminal(capsys, key_file):
    status, out, _ = run(capsys, *raw_key_argv(key_file, "evil\x1b[2Jendpoint"))
    assert status == 3
    assert "\x1b" not in out
    assert "endpoint: evil\\x1b[2Jendpoint (not resolved)" in out
