"""Thousands of calls leave the interpreter's allocated blocks, the process's
resident memory and its descriptors where they were after a warm-up: every
refusal path and every report releases what it made. Running out of memory
raises MemoryError and leaves the interpreter running."""

from __future__ import annotations

import gc
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import PEER_KEY, PRIVATE_KEY, config_text
from quorlin import _quorlin

REFUSALS = 3000  # calls that raise, each kind in turn
RUNS = 300       # probes that run and return a report
# A leak of one object per call shows as thousands of blocks; a leaked file
# buffer as megabytes. The bounds leave room for caches that settle late.
BLOCK_SLACK = 500
RSS_SLACK_BYTES = 4 << 20


def snapshot() -> tuple[int, int, int]:
    gc.collect()
    with open("/proc/self/statm") as statm:
        rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return sys.getallocatedblocks(), rss, len(os.listdir("/proc/self/fd"))


def read_all(obj) -> None:
    """Touches everything a report object shows."""
    repr(obj)
    obj.to_json()
    for name, value in vars(type(obj)).items():
        if inspect.isgetsetdescriptor(value):
            getattr(obj, name)


def test_many_calls_leave_memory_and_descriptors_flat(tmp_path, closed_udp_port, silent_peer):
    missing = tmp_path / "missing.conf"
    files = {"latin1.key": "\xff" * 40, "bad.key": "PrivateKey = " + PRIVATE_KEY, "private.key": PRIVATE_KEY,
             "wg0.conf": config_text(),
             # a large file whose last line fails to parse: a leaked read
             # buffer would be plain in the resident size
             "padded.conf": "# padding\n" * 6500 + "nonsense\n"}
    for name, text in files.items():
        (tmp_path / name).write_text(text, encoding="latin-1")
    key = tmp_path / "private.key"
    checks = {"address": "10.0.0.2/32", "allowed_ips": ["10.0.0.0/24"], "dns_server": "10.0.0.1"}
    ConfigurationError = _quorlin.ConfigurationError
    refusals = [
        (TypeError, lambda: _quorlin.probe_file(missing, ping="10.0.0.1")),
        (TypeError, lambda: _quorlin.probe_file(missing, resolve=["a.test", 5])),
        (ConfigurationError, lambda: _quorlin.probe_file(missing, deadline_ms=1.5)),
        (ConfigurationError, lambda: _quorlin.probe_file(missing, ping=["10.0.0.1", "x"])),
        (ConfigurationError, lambda: _quorlin.probe_file(missing)),
        (ConfigurationError, lambda: _quorlin.probe_file(tmp_path / "padded.conf")),
        (ConfigurationError, lambda: _quorlin.probe_file(tmp_path / "wg0.conf", ping=["192.0.2.1"])),
        (ConfigurationError, lambda: _quorlin.probe_key_file(tmp_path / "latin1.key", PEER_KEY, "127.0.0.1:9")),
        (ConfigurationError, lambda: _quorlin.probe_key_file(tmp_path / "bad.key", PEER_KEY, "127.0.0.1:9")),
        (ConfigurationError, lambda: _quorlin.probe_key_file(key, "bad", "127.0.0.1:9", **checks)),
        (ConfigurationError, lambda: _quorlin.probe_key_file(key, PEER_KEY, "127.0.0.1:9", resolve=["a"],
                                                             address="10.0.0.2/32", allowed_ips=["10.0.0.0/24"])),
    ]
    runs = [  # refused at once, unresolvable, unanswered
        lambda: _quorlin.probe_key_file(key, PEER_KEY, f"127.0.0.1:{closed_udp_port}", ping=["10.0.0.1"],
                                        resolve=["a.test"], **checks),
        lambda: _quorlin.probe_key_file(key, PEER_KEY, "no-port"),
        lambda: _quorlin.probe_key_file(key, PEER_KEY, "127.0.0.1:%d" % silent_peer.getsockname()[1],
                                        handshake_timeout_ms=1),
    ]

    def one_pass(refused: int, ran: int) -> None:
        for index in range(refused):
            error, call = refusals[index % len(refusals)]
            with pytest.raises(error) as caught:
                call()
            str(caught.value)
        for index in range(ran):
            report = runs[index % len(runs)]()
            for obj in (report, *report.phases):
                read_all(obj)

    one_pass(REFUSALS // 10, RUNS // 10)  # warm-up: type objects, interned texts, caches
    blocks, rss, descriptors = snapshot()
    one_pass(REFUSALS, RUNS)
    blocks_after, rss_after, descriptors_after = snapshot()
    assert blocks_after - blocks < BLOCK_SLACK, (blocks, blocks_after)
    assert rss_after - rss < RSS_SLACK_BYTES, (rss, rss_after)
    assert descriptors_after == descriptors


# 3,000,000 ping targets need close to 3 GB in all: a C++ list of texts, the
# engine's phases (the handshake is refused, so each target is a skipped
# phase), then the JSON and the Python objects. Each limit runs out at a later
# stage: converting the arguments, inside the run (interpreter lock released),
# building the report objects.
OUT_OF_MEMORY_SCRIPT = textwrap.dedent("""
    import resource, sys
    from quorlin import _quorlin

    key_path, peer_key, endpoint = sys.argv[1:4]
    targets = ["10.0.0.1"] * 3_000_000
    with open("/proc/self/statm") as statm:
        address_space = int(statm.read().split()[0]) * resource.getpagesize()
    for headroom_mib in (64, 400, 1200):
        resource.setrlimit(resource.RLIMIT_AS, (address_space + (headroom_mib << 20), resource.RLIM_INFINITY))
        try:
            _quorlin.probe_key_file(key_path, peer_key, endpoint, address="10.0.0.2/32",
                                    allowed_ips=["10.0.0.0/24"], ping=targets)
            print(headroom_mib, "returned")
        except MemoryError:
            print(headroom_mib, "MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
""")


def test_running_out_of_memory_raises_memory_error(key_file, closed_udp_port):
    run = subprocess.run(
        [sys.executable, "-c", OUT_OF_MEMORY_SCRIPT, str(key_file), PEER_KEY, f"127.0.0.1:{closed_udp_port}"],
        capture_output=True, text=True, timeout=300)
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout.splitlines() == ["64 MemoryError", "400 MemoryError", "1200 MemoryError"]
