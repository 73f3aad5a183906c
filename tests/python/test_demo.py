"""The one-step demo (scripts/demo.sh): it shows a real report and leaves
nothing behind, whether it runs to the end or is interrupted.

It runs with --no-install (the package under test is already installed) and
with this interpreter first on PATH, so it probes with the same quorlin.
"""

from __future__ import annotations

import json
import os
import re
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from real_peer import needs_peer, wgpeer

pytestmark = needs_peer

DEMO = Path(__file__).resolve().parents[2] / "scripts" / "demo.sh"
DEMO_TIMEOUT_S = 120.0


class Demo:
    """The demo in a session of its own, so a Ctrl-C can be sent to all of it."""

    def __init__(self):
        env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}")
        self.process = subprocess.Popen(["bash", str(DEMO), "--no-install"], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                                        start_new_session=True)
        self.output = b""
        self.deadline = time.monotonic() + DEMO_TIMEOUT_S
        self.peer_pids: set[int] = set()

    def read_until(self, marker: bytes | None) -> None:
        """Reads output until `marker` shows (None: until the demo ends)."""
        fd = self.process.stdout.fileno()
        while marker is None or marker not in self.output:
            left = self.deadline - time.monotonic()
            assert left > 0, f"the demo did not get there in time: {self.text()}"
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    assert marker is None, f"the demo ended early: {self.text()}"
                    break
                self.output += chunk
        if marker is None:
            self.process.wait(timeout=max(1.0, self.deadline - time.monotonic()))

    def wait_for_peer_process(self) -> None:
        """Notes the pid of the demo's peer process once it runs (its namespace is named after it)."""
        while not self.peer_pids:
            assert time.monotonic() < self.deadline, f"no peer process appeared: {self.text()}"
            for entry in Path("/proc").iterdir():
                if not entry.name.isdigit():
                    continue
                try:
                    same_session = os.getsid(int(entry.name)) == self.process.pid
                    command = (entry / "cmdline").read_bytes()
                except OSError:
                    continue
                if same_session and b"wgpeer.py\0serve" in command:
                    self.peer_pids.add(int(entry.name))
            time.sleep(0.01)

    def text(self) -> str:
        return self.output.decode(errors="replace")

    def field(self, label: str) -> str | None:
        found = re.search(rf"^{label}: (\S+)", self.text(), re.MULTILINE)
        return found.group(1) if found else None

    def leftovers(self) -> list[str]:
        paths = []
        namespace = self.field("peer namespace")
        if namespace:
            paths += [Path("/var/run/netns") / namespace, Path("/etc/netns") / namespace,
                      Path("/run/quorlin-peer") / f"{namespace}.json"]
        for pid in self.peer_pids:
            for folder in (Path("/var/run/netns"), Path("/etc/netns")):
                paths += folder.glob(f"qpeer-{pid}-*")
        config = self.field("client configuration")
        if config:
            paths.append(Path(config).parent)
        return sorted({str(path) for path in paths if path.exists()})

    def end(self) -> None:
        # Whatever happened in the test: no demo and no peer outlive it.
        if self.process.poll() is None:
            with_signal = signal.SIGTERM
            for _ in range(2):
                os.killpg(self.process.pid, with_signal)
                try:
                    self.process.wait(timeout=30)
                    break
                except subprocess.TimeoutExpired:
                    with_signal = signal.SIGKILL
        self.process.stdout.close()
        names = {Path(path).name for path in self.leftovers() if "/netns/" in path}
        for name in names:
            wgpeer.stop_by_name(name)


@pytest.fixture
def demo():
    running = Demo()
    try:
        yield running
    finally:
        running.end()


def test_demo_shows_a_confirmed_report_and_cleans_up(demo):
    demo.read_until(None)
    out = demo.text()
    assert demo.process.returncode == 0, out
    assert "verdict:  data_plane_confirmed" in out
    reports = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    assert [r["verdict"] for r in reports] == ["data_plane_confirmed"]
    assert [p["phase"] for p in reports[0]["phases"]] == \
        ["endpoint_resolution", "socket", "handshake", "keepalive", "ping", "dns"]
    # the configuration is shown without its private key
    assert "PrivateKey = (hidden)" in out
    assert not re.search(r"PrivateKey = [A-Za-z0-9+/]{43}=", out)
    assert out.rstrip().endswith("==> stopping the peer")
    assert demo.leftovers() == []


@pytest.mark.parametrize(
    "marker, whom, signum, status",
    [
        (b"==> starting a local", "group", signal.SIGINT, 130),  # Ctrl-C while the peer starts
        (b"==> quorlin ", "group", signal.SIGINT, 130),          # Ctrl-C during the probe
        (b"==> quorlin ", "script", signal.SIGTERM, 143),        # the script alone is ended
    ],
    ids=["ctrl-c at start", "ctrl-c while probing", "sigterm to the script"],
)
def test_interrupted_demo_tears_the_peer_down(demo, marker, whom, signum, status):
    demo.read_until(marker)
    demo.wait_for_peer_process()
    if whom == "group":
        os.killpg(demo.process.pid, signum)
    else:
        os.kill(demo.process.pid, signum)
    demo.read_until(None)
    assert demo.process.returncode == status, demo.text()
    assert "==> stopping the peer" in demo.text()
    assert demo.leftovers() == []
