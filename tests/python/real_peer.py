"""Shared by the tests that probe a real WireGuard peer (tests/peer/wgpeer.py)."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

import quorlin
from conftest import quorlin_command

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "peer"))
import wgpeer  # noqa: E402

__all__ = ["wgpeer"]

# Real-peer tests need root; anywhere else they say why and skip. CI runs as
# root and must never pass by skipping them, so there they run (and fail loudly).
needs_peer = pytest.mark.skipif(wgpeer.unavailable_reason() is not None and os.environ.get("CI") != "true",
                                reason=wgpeer.unavailable_reason() or "")

ALLOWED_IPS = "10.99.0.0/24"  # the peer's tunnel network
UNANSWERED = "10.99.0.77"     # inside AllowedIPs, on nobody's interface
HANDSHAKE_SPACING_S = 0.1     # well above the peer's 20 ms flood limit
COMMAND_TIMEOUT_S = 60.0


def client_config(directory: Path, info: dict, *, name: str = "wg0.conf", endpoint: str | None = None,
                  peer_key: str | None = None, private_key: str | None = None, address: str | None = None) -> Path:
    """A client configuration for the peer, mode 0600 like a real one."""
    lines = ["[Interface]",
             f"PrivateKey = {private_key or info['client_private_key']}",
             f"Address = {address or info['client_address']}",
             f"DNS = {info['dns_address']}",
             "",
             "[Peer]",
             f"PublicKey = {peer_key or info['peer_public_key']}"]
    if info["preshared_key"]:
        lines.append(f"PresharedKey = {info['preshared_key']}")
    lines += [f"Endpoint = {endpoint or info['endpoint_ipv4']}", f"AllowedIPs = {ALLOWED_IPS}"]
    path = directory / name
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


class Prober:
    """Probes one peer, in process or with the command, spaced as the peer requires."""

    def __init__(self, peer: wgpeer.WireGuardPeer):
        self.peer = peer
        self._last = 0.0

    def _spaced(self, call, *args, **kwargs):
        time.sleep(max(0.0, self._last + HANDSHAKE_SPACING_S - time.monotonic()))
        try:
            return call(*args, **kwargs)
        finally:
            self._last = time.monotonic()

    def _inside(self, call, *args, **kwargs) -> quorlin.ProbeReport:
        with self.peer.entered():
            return call(*args, **kwargs)

    def file(self, *args, **kwargs) -> quorlin.ProbeReport:
        return self._spaced(self._inside, quorlin.probe_file, *args, **kwargs)

    def key_file(self, *args, **kwargs) -> quorlin.ProbeReport:
        return self._spaced(self._inside, quorlin.probe_key_file, *args, **kwargs)

    def command(self, *argv: str) -> subprocess.CompletedProcess:
        """The command as its own process under `ip netns exec`, as a user runs it."""
        return self._spaced(self.peer.run, [quorlin_command(), *argv], timeout=COMMAND_TIMEOUT_S)
