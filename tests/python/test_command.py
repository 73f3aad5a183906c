"""The installed `quorlin` executable without a peer: modes and refusals (exit
status 3, one line on stderr), help and version, output that cannot be
written, control characters, Ctrl-C. The exit status of each verdict and the
plugin output of real runs are checked against the real peer
(test_command_real_peer.py)."""

import importlib.metadata
import os
import signal
import subprocess
import sys

import pytest

from conftest import LIMIT_MESSAGE, PEER_KEY, missing_file_message, quorlin_command

TIMEOUT_S = 60


def run(*argv, **kwargs) -> subprocess.CompletedProcess:
    if "stdout" not in kwargs:
        kwargs["capture_output"] = True
    return subprocess.run([quorlin_command(), *argv], text=True, timeout=TIMEOUT_S, **kwargs)


def raw_key_argv(key_file, endpoint, *extra):
    return ["--private-key-file", str(key_file), "--peer-key", PEER_KEY, "--endpoint", endpoint, *extra]


@pytest.mark.parametrize(
    "argv, message",
    [
        ([], "give a configuration file, or --private-key-file, --peer-key, --endpoint"),
        (["--peer-key", PEER_KEY, "--endpoint", "127.0.0.1:9"], "give a configuration file, or --private-key-file"),
        (["wg0.conf", "--peer-key", PEER_KEY], "--peer-key cannot be combined with a configuration file"),
        (["wg0.conf", "--allowed-ip", "10.0.0.0/24"], "--allowed-ip cannot be combined with a configuration file"),
        (["wg0.conf", "--address", ""], "--address cannot be combined with a configuration file"),
        (["wg0.conf", "--deadline-ms", "soon"], "--deadline-ms: Value soon is not a whole number"),
        (["wg0.conf", "--bogus"], "The following argument was not expected: --bogus"),
        (["a.conf", "b.conf"], "The following argument was not expected: b.conf"),
        # Two spellings of one deadline: which one counts would be a guess.
        (["wg0.conf", "-t", "5", "--deadline-ms", "5000"], "-t cannot be combined with --deadline-ms"),
        (["wg0.conf", "-t", "0"], "--timeout: Value 0 not in range 1 to 86400"),
        (["wg0.conf", "-t", "86401"], "--timeout: Value 86401 not in range 1 to 86400"),
    ],
    ids=repr,
)
def test_usage_errors_exit_3(argv, message):
    done = run(*argv)
    assert (done.returncode, done.stdout) == (3, "")
    assert done.stderr.startswith("usage: quorlin [OPTIONS] CONFIG\n")
    assert done.stderr.endswith(f"\nquorlin: {message}\n")


NOT_DECIMAL = "is not a whole number (decimal digits, no leading zero)"


# Numbers are plain decimals: no octal, no hex; the range message only for a
# whole number outside the range.
@pytest.mark.parametrize(
    "argv, message",
    [
        (["-w", "0100"], f"--warning: Value 0100 {NOT_DECIMAL}"),
        (["-c", "0x10"], "--critical: Value 0x10 is not a whole number"),
        (["-w", "1.5"], "--warning: Value 1.5 is not a whole number"),
        (["-w", "nan"], "--warning: Value nan is not a whole number"),
        (["-w", ""], "--warning: Value  is not a whole number"),
        (["-w", "86400001"], "--warning: Value 86400001 not in range 0 to 86400000"),
        (["--handshake-timeout-ms", "0300"], f"--handshake-timeout-ms: Value 0300 {NOT_DECIMAL}"),
        (["--handshake-timeout-ms", "99999999999999999999"], f"--handshake-timeout-ms {LIMIT_MESSAGE}"),
        (["--ping-count", "1e2"], "--ping-count: Value 1e2 is not a whole number"),
        (["fleet", "f.toml", "--concurrency", "010"], f"--concurrency: Value 010 {NOT_DECIMAL}"),
        (["exporter", "--fleet", "f.toml", "--max-concurrent", "0x10"],
         "--concurrency: Value 0x10 is not a whole number"),
        (["exporter", "--fleet", "f.toml", "--timeout-offset", "nan"],
         "--timeout-offset: Value nan is not a decimal number"),
        (["exporter", "--fleet", "f.toml", "--timeout-offset", "0x1p3"],
         "--timeout-offset: Value 0x1p3 is not a decimal number"),
        (["-w", "0", "-c", "10"], None),
    ],
    ids=repr,
)
def test_numbers_are_plain_decimals(missing_path, argv, message):
    argv = [str(missing_path) if word == "f.toml" else word for word in argv]
    if argv[0] not in ("fleet", "exporter"):
        argv.insert(0, str(missing_path))
    done = run(*argv)
    assert (done.returncode, done.stdout) == (3, "")
    assert done.stderr.endswith(f"quorlin: {message or missing_file_message('configuration', missing_path)}\n")


# A monitoring system reads only stdout: every usage error is a plugin line too.
@pytest.mark.parametrize(
    "argv, message",
    [
        (["-w", "0.5"], "--warning: Value 0.5 is not a whole number"),
        (["-w", "-1"], "--warning: Value -1 not in range 0 to 86400000"),
        (["--pingg", "x"], "The following arguments were not expected: x --pingg"),
        ([], "give a configuration file, or --private-key-file, --peer-key, --endpoint"),
        (["--json"], "--json cannot be combined with --nagios"),
        (["-w", "5", "-c", "2"], "--warning 5 is above --critical 2"),
        (["--ping-warning", "10,30%", "--ping-critical", "20,20%"], "--ping-warning 10,30% is above --ping-critical 20,20%"),
        (["fleet", "f.toml", "--concurrency", "0"], "--concurrency: Value 0 not in range 1 to 4096"),
        (["fleet", "f.toml", "-w", "9", "-c", "8"], "--warning 9 is above --critical 8"),
        (["fleet"], "FLEET.toml is required"),
    ],
    ids=repr,
)
def test_usage_errors_in_plugin_mode_are_a_plugin_line(argv, message):
    if argv[:1] != ["fleet"]:
        argv = ["wg0.conf", *argv] if argv and argv[0] != "--json" else argv
    done = run(*argv, "--nagios")
    assert (done.returncode, done.stdout) == (3, f"WIREGUARD UNKNOWN - {message}\n")
    assert done.stderr.startswith("usage: quorlin [OPTIONS] CONFIG\n")
    assert done.stderr.endswith(f"\nquorlin: {message}\n")


@pytest.mark.parametrize(
    "extra, message",
    [
        ([], None),
        (["--ping", "10.0.0.256"], "ping target must be an IPv4 address, got 10.0.0.256"),
        # The command names its own options, where a fleet file and the module name their keys.
        (["--handshake-timeout-ms", "0"], f"--handshake-timeout-ms {LIMIT_MESSAGE}"),
        (["-t", "5", "--ping-timeout-ms", "0"], f"--ping-timeout-ms {LIMIT_MESSAGE}"),
        (["--ping-count", "0"], "--ping-count must be an integer from 1 through 100"),
        (["--ping-interval-ms", "9"], "--ping-interval-ms must be an integer from 10 through 86400000"),
        (["--dns-server", "10.0.0.300"], "--dns-server must be an IPv4 address, got 10.0.0.300"),
        (["--mtu", "9001"], "--mtu must be an integer from 576 through 9000"),
    ],
    ids=repr,
)
def test_configuration_errors_exit_3_with_one_line(missing_path, extra, message):
    message = message or missing_file_message("configuration", missing_path)
    done = run(str(missing_path), *extra)
    assert (done.returncode, done.stdout, done.stderr) == (3, "", f"quorlin: {message}\n")
    # A monitoring system reads stdout only: the plugin line says it too.
    nagios = run(str(missing_path), *extra, "--nagios")
    assert (nagios.returncode, nagios.stdout, nagios.stderr) == (3, f"WIREGUARD UNKNOWN - {message}\n",
                                                                 f"quorlin: {message}\n")


# A plan whose echoes cannot all leave before the deadline is refused before
# any traffic, naming the command's options; -t is the deadline in seconds.
# The plan's other refusals name them too.
@pytest.mark.parametrize(
    "extra, message",
    [
        (["--ping-count", "100"],
         "--ping-count 100 x --ping-interval-ms 200 cannot finish within --deadline-ms 9000: the echoes to 1 ping "
         "target alone are spread over 19800 ms, --deadline-ms 23800 would fit the worst case: --handshake-timeout-ms "
         "3000 + 20800 ms of echoes (the last to each target within --ping-timeout-ms 1000)"),
        (["--ping-count", "100", "-t", "19", "--resolve", "a.test", "--mtu-check"],
         "--ping-count 100 x --ping-interval-ms 200 cannot finish within --deadline-ms 19000: the echoes to 1 ping "
         "target alone are spread over 19800 ms, --deadline-ms 33800 would fit the worst case: --handshake-timeout-ms "
         "3000 + 20800 ms of echoes (the last to each target within --ping-timeout-ms 1000) + 1 x --dns-timeout-ms "
         "2000 + 8 sizes of the MTU search x --ping-timeout-ms 1000"),
        (["--mtu", "1280"], "--mtu applies only with the MTU check or a TCP check"),
    ],
    ids=["defaults", "-t, a name and the MTU search", "a size without the check"],
)
def test_plans_refused_name_the_command_options(write_config, extra, message):
    done = run(str(write_config()), "--ping", "10.0.0.1", *extra, "--nagios")
    # Nagios turns every ';' into ':': the plugin line says ',' instead.
    assert (done.returncode, done.stdout, done.stderr) == (3, f"WIREGUARD UNKNOWN - {message}\n",
                                                           f"quorlin: {message.replace(' ms, --', ' ms; --')}\n")


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
def test_raw_key_mode_passes_its_options(missing_path, extra, message):
    done = run(*raw_key_argv(missing_path, "127.0.0.1:9", *extra))
    assert (done.returncode, done.stdout, done.stderr) == (3, "", f"quorlin: {message}\n")


@pytest.mark.parametrize(
    "endpoint, message",
    [
        ("127.0.0.1:0", "--endpoint port must be an integer from 1 through 65535, got 127.0.0.1:0"),
        ("[::1]:65536", "--endpoint port must be an integer from 1 through 65535, got [::1]:65536"),
        (":51820", "--endpoint must name a host before the port, got :51820"),
        ("localhost", "--endpoint must be HOST:PORT, got localhost"),
        ("config 127.0.0.1:0", "Peer Endpoint port must be an integer from 1 through 65535, got 127.0.0.1:0"),
    ],
)
def test_unreachable_endpoints_are_refused_inputs(key_file, write_config, endpoint, message):
    if endpoint.startswith("config "):
        argv = [str(write_config(endpoint=endpoint.split()[1]))]
    else:
        argv = raw_key_argv(key_file, endpoint)
    nagios = run(*argv, "--nagios")
    assert (nagios.returncode, nagios.stdout, nagios.stderr) == (3, f"WIREGUARD UNKNOWN - {message}\n",
                                                                 f"quorlin: {message}\n")


def test_version_and_help():
    for flag in ("--version", "-V"):
        assert run(flag).stdout == f"quorlin {importlib.metadata.version('quorlin')}\n"
    done = run("--help")
    assert (done.returncode, done.stderr) == (0, "")
    for line in ["--handshake-timeout-ms MS   default 3000", "--ping-timeout-ms MS        default 1000",
                 "--dns-timeout-ms MS         default 2000", "--deadline-ms MS            default 9000",
                 "  0  OK ", "  1  WARNING ", "  2  CRITICAL ", "  3  UNKNOWN "]:
        assert line in done.stdout


# `exporter` goes on in the exporter's executable, found from this one's own file.
@pytest.mark.parametrize("argv", [["--version"], ["{missing}"], ["{missing}", "--nagios"],
                                  ["exporter", "--fleet", "{missing}"]])
def test_module_entry_point_runs_the_same_executable(missing_path, argv):
    argv = [word.format(missing=missing_path) for word in argv]
    module = subprocess.run([sys.executable, "-m", "quorlin", *argv], capture_output=True, text=True,
                            timeout=TIMEOUT_S, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    direct = run(*argv)
    assert (module.returncode, module.stdout, module.stderr) == (direct.returncode, direct.stdout, direct.stderr)


@pytest.mark.parametrize(
    "argv, stream, shown",
    [
        # An endpoint without a port is refused, and its text shown in the refusal.
        (["--endpoint-of", "evil\x1b[2Jendpoint"], "stderr", "got evil\\x1b[2Jendpoint"),
        (["--endpoint-of", "evil\x1b[2Jendpoint", "--nagios"], "stdout", "got evil\\x1b[2Jendpoint"),
        (["{tmp}/wg\x1b]0;owned\x07.conf"], "stderr", "wg\\x1b]0;owned\\x07.conf: No such file"),
    ],
    ids=["table", "nagios", "stderr"],
)
def test_control_characters_never_reach_the_terminal(tmp_path, key_file, argv, stream, shown):
    if argv[0] == "--endpoint-of":
        argv = raw_key_argv(key_file, argv[1], *argv[2:])
    else:
        argv = [argv[0].format(tmp=tmp_path)]
    done = run(*argv)
    assert done.returncode == 3
    assert "\x1b" not in done.stdout + done.stderr
    assert shown in getattr(done, stream)


def _closed_pipe():
    read_end, write_end = os.pipe()
    os.close(read_end)
    return write_end


@pytest.mark.parametrize(
    "sink, error",
    [("/dev/full", "No space left on device (os error 28)"), ("closed pipe", "Broken pipe (os error 32)"),
     ("closed stdout", "Bad file descriptor (os error 9)")],
)
@pytest.mark.parametrize("argv", [["--json"], ["--nagios"], ["--help"]], ids=" ".join)
def test_output_that_cannot_be_written_ends_with_status_3(key_file, closed_udp_port, sink, error, argv):
    fd = _closed_pipe() if sink == "closed pipe" else os.open("/dev/null" if sink == "closed stdout" else sink,
                                                               os.O_WRONLY)
    # Started with descriptor 1 closed (`>&-`): nothing the process opens may take its place.
    closing = (lambda: os.close(1)) if sink == "closed stdout" else None
    try:
        if argv != ["--help"]:
            argv = raw_key_argv(key_file, f"127.0.0.1:{closed_udp_port}", *argv)
        done = run(*argv, stdout=fd, stderr=subprocess.PIPE, preexec_fn=closing)
    finally:
        os.close(fd)
    assert (done.returncode, done.stderr) == (3, f"quorlin: could not write the output: {error}\n")


# SIGTERM is what a monitoring system sends when a check runs too long.
@pytest.mark.parametrize("sent, extra, word", [(signal.SIGINT, [], "interrupted"),
                                               (signal.SIGTERM, ["--nagios"], "terminated")], ids=["int", "term"])
def test_ctrl_c_or_sigterm_ends_a_running_probe(key_file, silent_peer, sent, extra, word):
    host, port = silent_peer.getsockname()
    argv = raw_key_argv(key_file, f"{host}:{port}", "--handshake-timeout-ms", "60000", "--deadline-ms", "60000", *extra)
    with subprocess.Popen([quorlin_command(), *argv], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True) as process:
        try:
            silent_peer.recvfrom(2048)  # the handshake initiation: the probe is running
            process.send_signal(sent)
            out, err = process.communicate(timeout=TIMEOUT_S)
        finally:
            process.kill()
    plugin_line = f"WIREGUARD UNKNOWN - {word}\n" if extra else ""
    assert (process.returncode, out, err) == (3, plugin_line, f"quorlin: {word}\n")


# Links are followed as a fleet follows them; one that leads nowhere is named
# for what it is, by the path as given.
@pytest.mark.parametrize(
    "make, message",
    [
        (lambda p, d: p.symlink_to(d / "gone.conf"), "configuration file {p} is a link to a file that does not exist"),
        (lambda p, d: p.symlink_to(p), "configuration file {p} is a link loop: Too many levels of symbolic links (os error 40)"),
        (lambda p, d: p.symlink_to(d), "configuration path {p} must be a regular file"),
    ],
    ids=["dangling", "loop", "to a folder"],
)
def test_configuration_links(tmp_path, make, message):
    path = tmp_path / "wg0.conf"
    make(path, tmp_path)
    message = message.format(p=path)
    done = run(str(path), "--nagios")
    assert (done.returncode, done.stdout, done.stderr) == (3, f"WIREGUARD UNKNOWN - {message}\n", f"quorlin: {message}\n")
