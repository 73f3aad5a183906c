"""The installed `quorlin exporter` as its own process inside a real peer's namespace.

The exporter runs under `ip netns exec`, as a user would start it next to
the peer; requests come from a test thread that joins the same namespace, so
that both sides share its loopback. Every wait is bounded, and the process
is ended on every path.
"""

from __future__ import annotations

import http.client
import queue
import re
import signal
import subprocess
import threading
import time
from pathlib import Path

from conftest import quorlin_command
from real_peer import client_config, wgpeer

START_TIMEOUT_S = 30.0
REQUEST_TIMEOUT_S = 30.0
STOP_TIMEOUT_S = 30.0
LISTENING = re.compile(r"quorlin: listening on (?:https://)?(127\.0\.0\.1|\[[0-9a-f:]+\]):(\d+), serving \d+ targets?$")


def write_fleet(directory: Path, info: dict, extra: str = "") -> Path:
    """A fleet of a good target (ping and DNS checks) and a wrong-key one, plus `extra`."""
    from conftest import PEER_KEY as OTHER_PEER_KEY

    client_config(directory, info, name="good.conf")
    client_config(directory, info, name="wrong.conf", peer_key=OTHER_PEER_KEY)
    path = directory / "fleet.toml"
    path.write_text(
        "[defaults]\n"
        "deadline_ms = 5000\n\n"
        "[[target]]\n"
        'name = "good"\n'
        'config = "good.conf"\n'
        f'ping = ["{info["peer_tunnel_ip"]}"]\n'
        'resolve = ["ok.quorlin.test"]\n'
        'labels = { region = "eu-central", site = "dc1" }\n\n'
        "[[target]]\n"
        'name = "wrong-key"\n'
        'config = "wrong.conf"\n'
        "handshake_timeout_ms = 500\n"
        'labels = { region = "us-east" }\n' + extra)
    return path


class ExporterProcess:
    """`quorlin exporter --fleet FLEET ...` in the peer's namespace; a context manager."""

    def __init__(self, peer: wgpeer.WireGuardPeer, fleet: Path | None, *args: str, listen: str = "127.0.0.1:0",
                 listen_option: str = "--listen", argv: list[str] | None = None, quiet_start: bool = False):
        """`argv`, when given, is the whole command instead (one that ends by exec'ing the exporter).

        `quiet_start`: the log level hides the line that says where it listens;
        `listen` then names a fixed IPv4 port, asked until /-/healthy answers.
        """
        self.peer = peer
        self.log: list[str] = []
        self._lines: queue.Queue[str | None] = queue.Queue()
        if argv is None:
            argv = [quorlin_command(), "exporter", "--fleet", str(fleet), listen_option, listen, *args]
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", peer.namespace, *argv],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self._reader = threading.Thread(target=self._read_stderr, daemon=True)
        self._reader.start()
        try:
            if quiet_start:
                self.host, port = listen.rsplit(":", 1)
                self.port = int(port)
                self._wait_until_healthy()
            else:
                # Notices (a limit lowered, a warning) may come before it listens.
                started = time.monotonic() + START_TIMEOUT_S
                while (first := self.next_line(max(started - time.monotonic(), 0.1))) is not None:
                    if LISTENING.match(first):
                        break
                match = LISTENING.match(first or "")
                assert match, f"the exporter did not start: {self.log!r}"
                self.host, self.port = match.group(1).strip("[]"), int(match.group(2))
        except BaseException:
            self.stop()
            raise

    def _wait_until_healthy(self) -> None:
        deadline = time.monotonic() + START_TIMEOUT_S
        while True:
            assert self.proc.poll() is None, f"the exporter ended at start: {self.log}"
            try:
                if self.request("/-/healthy")[0] == 200:
                    return
            except OSError:
                pass
            assert time.monotonic() < deadline, f"the exporter did not answer within {START_TIMEOUT_S} s"
            time.sleep(0.05)

    def _read_stderr(self) -> None:
        for line in self.proc.stderr:
            self._lines.put(line.rstrip("\n"))
        self._lines.put(None)

    def next_line(self, timeout: float = REQUEST_TIMEOUT_S) -> str | None:
        """The next line the exporter logs; None once it has ended."""
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"the exporter logged nothing within {timeout} s") from None
        if line is not None:
            self.log.append(line)
        return line

    def request(self, path: str, headers: dict | None = None, method: str = "GET",
                port: int | None = None, host: str | None = None) -> tuple[int, dict, str]:
        """(status, headers, body) of one request, made from inside the namespace."""
        with self.peer.entered():
            connection = http.client.HTTPConnection(host or self.host, port or self.port, timeout=REQUEST_TIMEOUT_S)
            try:
                connection.request(method, path, headers=headers or {})
                response = connection.getresponse()
                return response.status, dict(response.getheaders()), response.read().decode()
            finally:
                connection.close()

    def metric(self, path: str, name: str) -> float | None:
        """One sample's value from a metrics answer: `name` with its labels as written."""
        status, _, body = self.request(path)
        assert status == 200
        return sample(body, name)

    def wait_for_metric(self, name: str, value: float, timeout: float = REQUEST_TIMEOUT_S) -> None:
        deadline = time.monotonic() + timeout
        while self.metric("/metrics", name) != value:
            assert time.monotonic() < deadline, f"{name} did not become {value} within {timeout} s"
            time.sleep(0.05)

    def send_signal(self, number: int) -> None:
        self.proc.send_signal(number)

    def stop(self) -> int:
        """SIGTERM, then the exit status; killed when it does not end in time."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=STOP_TIMEOUT_S)
            raise AssertionError("the exporter did not stop within its bound after SIGTERM") from None
        finally:
            self._reader.join(timeout=STOP_TIMEOUT_S)
            if self.proc.stderr:
                self.proc.stderr.close()
            while not self._lines.empty():
                if (line := self._lines.get_nowait()) is not None:
                    self.log.append(line)

    def __enter__(self) -> "ExporterProcess":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()


def sample(body: str, name: str) -> float | None:
    """The value of the sample written exactly as `name` (labels included) in a text answer."""
    for line in body.splitlines():
        if not line.startswith("#") and line.rsplit(" ", 1)[0] == name:
            return float(line.rsplit(" ", 1)[1])
    return None
