"""`quorlin fleet` without a peer: a refused fleet file (one line, exit
status 3, nothing probed), Ctrl-C during a run, and the progress line on a
terminal. Verdicts against a real peer: test_fleet_real_peer.py; every kind
of refusal with its position: tests/fleet (C++)."""

import os
import pty
import resource
import signal
import subprocess
import time

import pytest

from conftest import CLIENT_PUBLIC_KEY, PEER_KEY, quorlin_command

TIMEOUT_S = 60


def fleet_file(tmp_path, text):
    path = tmp_path / "fleet.toml"
    path.write_text(text)
    return path


def raw_target(name, key_file, endpoint, peer_key=PEER_KEY, extra=""):
    return (f'[[target]]\nname = "{name}"\nprivate_key_file = "{key_file.name}"\n'
            f'peer_key = "{peer_key}"\nendpoint = "{endpoint}"\n{extra}\n')


@pytest.mark.parametrize("extra", [[], ["--nagios"]], ids=["table", "nagios"])
def test_refused_fleet_file_is_one_line_and_nothing_runs(tmp_path, key_file, silent_peer, extra):
    port = silent_peer.getsockname()[1]
    fleet = fleet_file(tmp_path, raw_target("ok", key_file, f"127.0.0.1:{port}")
                       + raw_target("typo", key_file, f"127.0.0.1:{port}", extra="deadline = 5"))
    done = subprocess.run([quorlin_command(), "fleet", str(fleet), *extra], capture_output=True, text=True,
                          timeout=TIMEOUT_S)
    message = f'{fleet}:12:1: target "typo": unknown key "deadline"'
    assert (done.returncode, done.stderr) == (3, f"quorlin: {message}\n")
    # the plugin line holds no character Nagios strips from its macros
    plugin_message = message.replace('"', "\\x22")
    assert done.stdout == (f"WIREGUARD UNKNOWN - {plugin_message}\n" if extra else "")
    # Checked as a whole before any traffic: not one datagram reached the endpoint.
    silent_peer.setblocking(False)
    with pytest.raises(BlockingIOError):
        silent_peer.recv(2048)


def test_unknown_target_name_is_refused(tmp_path, key_file, closed_udp_port):
    fleet = fleet_file(tmp_path, raw_target("a", key_file, f"127.0.0.1:{closed_udp_port}"))
    done = subprocess.run([quorlin_command(), "fleet", str(fleet), "--target", "a", "--target", "b"],
                          capture_output=True, text=True, timeout=TIMEOUT_S)
    assert (done.returncode, done.stdout, done.stderr) == (3, "", f'quorlin: no target "b" in {fleet}\n')


@pytest.mark.parametrize(
    "targets, bad_key, out, refusal",
    [
        (2, False, "2 targets OK", None),
        (1, False, "1 target OK", None),
        # A file the fleet names is read as a run reads it.
        (2, True, None, ':9:20: target "b": PrivateKey must be a base64-encoded 32-byte key'),
        # An endpoint no datagram can reach is refused before any traffic.
        ("port", False, None, ':5:12: target "a": endpoint port must be an integer from 1 through 65535, got '
                              '127.0.0.1:99999'),
    ],
    ids=["two", "one", "bad key file", "bad endpoint"],
)
def test_check_probes_nothing(tmp_path, key_file, silent_peer, targets, bad_key, out, refusal):
    silent = f"127.0.0.1:{silent_peer.getsockname()[1]}"
    bad = tmp_path / "bad.key"
    bad.write_text("not a key\n")
    text = raw_target("a", key_file, "127.0.0.1:99999" if targets == "port" else silent)
    if targets == 2:
        text += raw_target("b", bad if bad_key else key_file, silent, peer_key=CLIENT_PUBLIC_KEY)
    fleet = fleet_file(tmp_path, text)
    done = subprocess.run([quorlin_command(), "fleet", str(fleet), "--check"], capture_output=True, text=True,
                          timeout=TIMEOUT_S)
    if refusal is None:
        assert (done.returncode, done.stdout, done.stderr) == (0, f"{fleet}: {out}\n", "")
    else:
        assert (done.returncode, done.stdout, done.stderr) == (3, "", f"quorlin: {fleet}{refusal}\n")
    silent_peer.setblocking(False)
    with pytest.raises(BlockingIOError):
        silent_peer.recv(2048)


def test_closed_stdout_is_a_write_failure(tmp_path, key_file, closed_udp_port):
    # Started with descriptor 1 closed, nothing the fleet opens takes its place.
    fleet = fleet_file(tmp_path, raw_target("a", key_file, f"127.0.0.1:{closed_udp_port}"))
    done = subprocess.run([quorlin_command(), "fleet", str(fleet)], stderr=subprocess.PIPE, text=True,
                          preexec_fn=lambda: os.close(1), timeout=TIMEOUT_S)
    assert (done.returncode, done.stderr) == (3, "quorlin: could not write the output: Bad file descriptor (os error 9)\n")


def test_concurrency_lowered_by_the_open_file_limit_says_why(tmp_path, key_file, closed_udp_port):
    fleet = fleet_file(tmp_path, "".join(raw_target(f"t{i}", key_file, f"127.0.0.1:{closed_udp_port}")
                                         for i in range(20)))
    done = subprocess.run([quorlin_command(), "fleet", str(fleet), "--concurrency", "4096", "--json"],
                          capture_output=True, text=True, timeout=TIMEOUT_S,
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (80, 80)))
    assert done.returncode == 2
    assert done.stderr == ("quorlin: --concurrency 4096 lowered to 8 by the open-file limit: 80 descriptors "
                           "(hard limit 80) hold 8 probes of 2 each beside 64 for the process\n")
    assert len(done.stdout.splitlines()) == 20


def read_line(stream, deadline):
    line = b""
    while not line.endswith(b"\n"):
        assert time.monotonic() < deadline, f"no complete line in time, got {line!r}"
        chunk = os.read(stream.fileno(), 1)
        assert chunk, f"the output ended, got {line!r}"
        line += chunk
    return line.decode()


@pytest.mark.parametrize("presses", [1, 2, "term"])
def test_ctrl_c_starts_no_new_probe(tmp_path, key_file, silent_peer, closed_udp_port, presses):
    # "never" shares its keys with "silent", so it waits for it and is never
    # started once Ctrl-C comes; "closed" ends at once on the other worker.
    silent = f"127.0.0.1:{silent_peer.getsockname()[1]}"
    closed = f"127.0.0.1:{closed_udp_port}"
    fleet = fleet_file(tmp_path, "[defaults]\nhandshake_timeout_ms = 3000\ndeadline_ms = 3000\n\n"
                       + raw_target("silent", key_file, silent)
                       + raw_target("closed", key_file, closed, peer_key=CLIENT_PUBLIC_KEY)
                       + raw_target("never", key_file, closed))
    # SIGTERM, a monitoring system's check timeout, ends at once with its plugin line.
    extra = ["--nagios"] if presses == "term" else []
    process = subprocess.Popen([quorlin_command(), "fleet", str(fleet), "--concurrency", "2", *extra],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + TIMEOUT_S
        if presses == "term":
            silent_peer.recvfrom(2048)  # "silent" has begun
            time.sleep(0.3)  # and "closed" has ended
            process.send_signal(signal.SIGTERM)
        else:
            assert read_line(process.stdout, deadline).startswith("TARGET  VERDICT")
            assert read_line(process.stdout, deadline).startswith("closed  local_error")
            time.sleep(0.3)  # "silent" has long begun; it runs for 3 s
            for _ in range(presses):
                process.send_signal(signal.SIGINT)
                time.sleep(0.1)
        out, err = process.communicate(timeout=TIMEOUT_S)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 3
    notice = "quorlin: interrupted: waiting for 1 running probe to end by its deadline (Ctrl-C again to stop now)\n"
    rows = out.decode().splitlines()
    if presses == "term":
        assert err.decode() == "quorlin: terminated: 1 probe left running\n"
        assert len(rows) == 1
        assert rows[0].startswith("WIREGUARD UNKNOWN - terminated after 1 of 3 targets: 0 OK, 0 WARNING, 1 CRITICAL, "
                                  "0 UNKNOWN - CRITICAL: closed | ")
    elif presses == 1:
        # The running probe ends by its deadline and is printed.
        assert err.decode() == notice
        assert rows[0].startswith("silent  unconfirmed")
        assert rows[1].startswith("2 of 3 targets in ")
        assert rows[1].endswith(" s (interrupted): 0 data_plane_confirmed, 0 authentication_confirmed, "
                                "1 unconfirmed, 1 local_error")
    else:
        assert err.decode() == notice + "quorlin: interrupted again: 1 probe left running\n"
        assert len(rows) == 1 and rows[0].startswith("1 of 3 targets in ")


def test_progress_line_on_a_terminal_only(tmp_path, key_file, closed_udp_port):
    fleet = fleet_file(tmp_path, raw_target("a", key_file, f"127.0.0.1:{closed_udp_port}"))
    controller, terminal = pty.openpty()
    try:
        process = subprocess.Popen([quorlin_command(), "fleet", str(fleet), "--json"], stdout=subprocess.PIPE,
                                   stderr=terminal)
        os.close(terminal)
        terminal = -1
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal's other side closed
                break
            if not chunk:
                break
            shown += chunk
        out, _ = process.communicate(timeout=TIMEOUT_S)
    finally:
        if terminal >= 0:
            os.close(terminal)
        os.close(controller)
    assert process.returncode == 2
    assert out.decode().startswith('{"target":"a","labels":{},"report":{')
    # Drawn in place (carriage return, erase to the end of the line), then erased.
    assert shown.startswith(b"\r0 of 1 done\x1b[K")
    assert shown.endswith(b"\r\x1b[K")
