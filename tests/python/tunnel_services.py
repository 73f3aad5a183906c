"""Real services behind the test peer: servers started in the peer's namespace,
bound to its tunnel address, so that the probe reaches them through the
tunnel and the namespace's own TCP stack answers."""

from __future__ import annotations

import contextlib
import subprocess
import sys
import time
from pathlib import Path

START_TIMEOUT_S = 15.0
STOP_TIMEOUT_S = 10.0


def listening(peer, port: int) -> bool:
    done = peer.run(["ss", "-Hltn", f"sport = :{port}"])
    return done.returncode == 0 and done.stdout.strip() != ""


def connections(peer, port: int) -> list[str]:
    """Every TCP socket of the namespace on `port` but the listener: what a check left behind."""
    done = peer.run(["ss", "-Htan", f"sport = :{port}"])
    return [line for line in done.stdout.splitlines() if not line.startswith("LISTEN")]


@contextlib.contextmanager
def http_server(peer, port: int, folder: Path):
    """Python's http.server serving `folder` on the tunnel address and `port`."""
    with served(peer, port, [sys.executable, "-m", "http.server", "--bind", peer.info["peer_tunnel_ip"],
                             "--directory", str(folder), str(port)]) as proc:
        yield proc


@contextlib.contextmanager
def tls_server(peer, port: int, certificate: Path, key: Path):
    """`openssl s_server` with one certificate on the tunnel address and `port`, answering HTTP (-www)."""
    with served(peer, port, ["openssl", "s_server", "-cert", str(certificate), "-key", str(key), "-accept",
                             f"{peer.info['peer_tunnel_ip']}:{port}", "-www", "-quiet"]) as proc:
        yield proc


@contextlib.contextmanager
def served(peer, port: int, argv: list[str]):
    """`argv` in the peer's namespace until it listens on `port`; ended on every path."""
    proc = subprocess.Popen(["ip", "netns", "exec", peer.namespace, *argv],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + START_TIMEOUT_S
        while not listening(peer, port):
            assert proc.poll() is None, f"{argv[0]} ended at start"
            assert time.monotonic() < deadline, f"{argv[0]} did not listen within {START_TIMEOUT_S} s"
            time.sleep(0.05)
        yield proc
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=STOP_TIMEOUT_S)
