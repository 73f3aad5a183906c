"""Thousands of calls leave the interpreter's allocated blocks, the process's
resident memory and its descriptors where they were after a warm-up: every
refusal path and every report releases what it made."""

from __future__ import annotations

import gc
import inspect
import os
import sys
from pathlib import Path

import pytest

from conftest import PEER_KEY, PRIVATE_KEY, config_text
from quorlin import _quorlin

ROUNDS = 3000           # refused calls, each kind in turn
RUNS = 300              # probes that run and return a report
# A leak of one object per call shows as thousands of blocks; a leaked file
# buffer as megabytes. The bounds leave room for caches that settle late.
BLOCK_SLACK = 500
RSS_SLACK_BYTES = 4 << 20
PADDED_CONFIG_BYTES = 64 << 10


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def snapshot() -> tuple[int, int, int]:
    gc.collect()
    return sys.getallocatedblocks(), rss_bytes(), len(os.listdir("/proc/self/fd"))


def refusals(tmp_path: Path) -> list:
    """Calls that each end in an exception, from every stage that can refuse."""
    missing = tmp_path / "missing.conf"
    not_utf8 = tmp_path / "latin1.key"
    not_utf8.write_bytes(b"\xff" * 40)
    bad_key = tmp_path / "bad.key"
    bad_key.write_text("PrivateKey = " + PRIVATE_KEY)
    key = tmp_path / "private.key"
    key.write_text(PRIVATE_KEY + "\n")
    # A large file whose last line fails to parse: a leaked read buffer would
    # be plain in the resident size.
    padded = tmp_path / "padded.conf"
    padded.write_text("# padding\n" * (PADDED_CONFIG_BYTES // 10) + "nonsense\n")
    outside = tmp_path / "wg0.conf"
    outside.write_text(config_text())
    raw = {"address": "10.0.0.2/32", "allowed_ips": ["10.0.0.0/24"]}
    return [
        (TypeError, lambda: _quorlin.probe_file(missing, ping="10.0.0.1")),
        (TypeError, lambda: _quorlin.probe_file(missing, resolve=["a.test", 5])),
        (_quorlin.ConfigurationError, lambda: _quorlin.probe_file(missing, deadline_ms=1.5)),
        (_quorlin.ConfigurationError, lambda: _quorlin.probe_file(missing, ping=["10.0.0.1", "x"])),
        (_quorlin.ConfigurationError, lambda: _quorlin.probe_file(missing)),
        (_quorlin.ConfigurationError, lambda: _quorlin.probe_file(padded)),
        (_quorlin.ConfigurationError, lambda: _quorlin.probe_file(outside, ping=["192.0.2.1"])),
        (_quorlin.ConfigurationError, lambda: _quorlin.probe_key_file(not_utf8, PEER_KEY, "127.0.0.1:9")),
        (_quorlin.ConfigurationError, lambda: _quorlin.probe_key_file(bad_key, PEER_KEY, "127.0.0.1:9")),
        (_quorlin.ConfigurationError, lambda: _quorlin.probe_key_file(key, "bad", "127.0.0.1:9", **raw)),
        (_quorlin.ConfigurationError,
         lambda: _quorlin.probe_key_file(key, PEER_KEY, "127.0.0.1:9", resolve=["a.test"], **raw)),
    ]


def runs(key: Path, closed_port: int, silent_port: int) -> list:
    """Probes that return reports: refused at once, unresolvable, unanswered."""
    checks = {"address": "10.0.0.2/32", "allowed_ips": ["10.0.0.0/24"], "dns_server": "10.0.0.1",
              "ping": ["10.0.0.1"], "resolve": ["a.test"]}
    return [
        lambda: _quorlin.probe_key_file(key, PEER_KEY, f"127.0.0.1:{closed_port}", **checks),
        lambda: _quorlin.probe_key_file(key, PEER_KEY, "no-port"),
        lambda: _quorlin.probe_key_file(key, PEER_KEY, f"127.0.0.1:{silent_port}", handshake_timeout_ms=1),
    ]


def refuse(expected, call) -> None:
    try:
        call()
    except expected as error:
        # what a caller's handler does: read it, then let it go
        str(error)
        getattr(error, "__notes__", None)
    else:
        pytest.fail("the call was not refused")


def read_all(obj) -> None:
    """Touches everything a report object shows."""
    repr(obj)
    obj.to_json()
    for name, value in vars(type(obj)).items():
        if inspect.isgetsetdescriptor(value):
            getattr(obj, name)


def test_many_calls_leave_memory_and_descriptors_flat(tmp_path, closed_udp_port, silent_peer):
    refused = refusals(tmp_path)
    key = tmp_path / "private.key"
    probes = runs(key, closed_udp_port, silent_peer.getsockname()[1])

    def one_pass(count: int) -> None:
        for index in range(count):
            refuse(*refused[index % len(refused)])
        for index in range(count * RUNS // ROUNDS):
            report = probes[index % len(probes)]()
            for obj in (report, *report.phases):
                read_all(obj)

    one_pass(ROUNDS // 10)  # warm-up: type objects, interned texts, caches
    blocks, rss, descriptors = snapshot()
    one_pass(ROUNDS)
    blocks_after, rss_after, descriptors_after = snapshot()

    assert blocks_after - blocks < BLOCK_SLACK, (blocks, blocks_after)
    assert rss_after - rss < RSS_SLACK_BYTES, (rss, rss_after)
    assert descriptors_after == descriptors
