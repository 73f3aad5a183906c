"""The `quorlin` command: modes, refusals (exit status 3, one line on stderr,
no traceback), the exit status for each verdict, and its two outputs."""

import json
import os
import subprocess
import sys
import types

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


def test_raw_key_mode_passes_its_options(capsys, missing_path):
    argv = ["--private-key-file", str(missing_path), "--peer-key", PEER_KEY, "--endpoint", "127.0.0.1:9"]
    status, _, err = run(capsys, *argv, "--address", "10.0.0.2/32")
    assert (status, err) == (3, "quorlin: address and at least one allowed_ips entry must be supplied together\n")
    status, _, err = run(capsys, *argv, "--address", "10.0.0.2/32", "--allowed-ip", "10.0.0.0/24", "--resolve", "a.test")
    assert (status, err) == (3, "quorlin: resolve requires an IPv4 dns_server in raw-key mode\n")
    status, _, err = run(capsys, *argv, "--address", "10.0.0.2/32", "--allowed-ip", "10.0.0.0/24", "--allowed-ip", "x")
    assert (status, err) == (3, "quorlin: allowed_ips entry must be an IPv4 CIDR, got x\n")


@pytest.mark.parametrize(
    "verdict, data_checks_asked, status",
    [
        ("data_plane_confirmed", True, 0),
        ("authentication_confirmed", False, 0),
        ("authentication_confirmed", True, 1),
        ("unconfirmed", False, 2),
        ("unconfirmed", True, 2),
        ("local_error", False, 3),
        ("local_error", True, 3),
    ],
)
def test_exit_status_by_verdict(verdict, data_checks_asked, status):
    report = types.SimpleNamespace(verdict=verdict)
    assert command.exit_status(report, data_checks_asked) == status


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


def raw_key_argv(key_file, endpoint, *extra):
    return ["--private-key-file", str(key_file), "--peer-key", PEER_KEY, "--endpoint", endpoint, *extra]


def test_json_output_is_the_reports_own_line(capsys, key_file, closed_udp_port):
    endpoint = f"127.0.0.1:{closed_udp_port}"
    status, out, err = run(capsys, *raw_key_argv(key_file, endpoint, "--json"))
    assert (status, err) == (3, "")
    assert out.endswith("\n") and out.count("\n") == 1
    document = json.loads(out)
    assert list(document) == [
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
    assert (document["verdict"], document["endpoint"]) == ("local_error", endpoint)


def test_table_output_for_a_silent_peer(capsys, key_file, silent_peer):
    endpoint = "127.0.0.1:%d" % silent_peer.getsockname()[1]
    argv = raw_key_argv(key_file, endpoint, "--handshake-timeout-ms", "200")
    status, out, err = run(capsys, *argv, "--address", "10.0.0.2/32", "--allowed-ip", "10.0.0.0/24", "--ping", "10.0.0.1")
    assert (status, err) == (2, "")
    lines = out.splitlines()
    assert lines[0] == "verdict:  unconfirmed"
    assert lines[1] == f"endpoint: {endpoint} ({endpoint})"
    assert lines[2].startswith("total:    ") and "bytes sent" in lines[2]
    assert lines[3].split() == ["PHASE", "TARGET", "STATUS", "MS", "SENT", "RECEIVED", "DETAIL"]
    rows = [line.split()[:3] for line in lines[4:]]
    assert rows[0] == ["endpoint_resolution", endpoint, "passed"]
    assert rows[1][0] == "socket" and rows[1][2] == "passed"
    assert rows[2] == ["handshake", endpoint, "unconfirmed"]
    assert rows[3] == ["ping", "10.0.0.1", "skipped"]
    assert lines[-1].endswith("skipped because authentication was not confirmed")


def test_table_output_keeps_control_characters_off_the_terminal(capsys, tmp_path, key_file):
    status, out, _ = run(capsys, *raw_key_argv(key_file, "evil\x1b[2Jendpoint"))
    assert status == 3
    assert "\x1b" not in out
    assert "endpoint: evil\\x1b[2Jendpoint (not resolved)" in out
