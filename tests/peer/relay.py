#!/usr/bin/env python3
"""A UDP relay between the prober and a real peer, misbehaving on request.

It runs inside the peer's network namespace, listens on 127.0.0.1 (an
ephemeral port) and forwards to the peer's endpoint. Each client address gets
a socket of its own towards the peer, so the peer's answers go back to the
client that caused them even when many probes share the relay. Per direction
(`to_peer`: client -> peer, `to_client`: peer -> client) it can delay,
duplicate, drop, reorder and insert junk, and towards the client it can answer
every initiation with a forged cookie reply (see `Faults`). One event loop
with a timer heap carries both directions, so a delay on one never holds up
the other.

Files: relay_faults.py (the options), relay_loop.py (the event loop),
relay_messages.py (message kinds, junk, forged cookie replies), and this one
(the process and the Python API).

From Python (next to tests/peer/wgpeer.py)::

    with UdpRelay(peer, to_client=Faults(duplicate=True, junk=1),
                  to_peer=Faults(delay_ms=50)) as relay:
        relay.endpoint          # "127.0.0.1:PORT" inside the peer's namespace
        relay.stats()           # counters per direction, see COUNTERS

From a shell (one JSON line on stdout when ready; the line "stats" on stdin
answers one JSON line; ends when stdin closes or on SIGTERM/SIGINT/SIGHUP)::

    relay.py serve [--peer 127.0.0.1:51820] [--listen 127.0.0.1:0]
                   [--peer-public-key BASE64] [--to-peer JSON] [--to-client JSON]
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import wgpeer  # noqa: E402
from relay_faults import Faults, RelayError, check_directions, ipv4_address, public_key  # noqa: E402
from relay_loop import COUNTERS, Relay, Stop  # noqa: E402

__all__ = ["COUNTERS", "Faults", "RelayError", "UdpRelay"]

SCRIPT = Path(__file__).resolve()
START_TIMEOUT_S = 20.0
STATS_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0

_counter = itertools.count()


# -- serve: the process ---------------------------------------------------------


def _print_line(document: dict) -> None:
    sys.stdout.write(json.dumps(document, separators=(",", ":")) + "\n")
    sys.stdout.flush()


def _control(relay: Relay, fd: int):
    """Reads commands from stdin: "stats" answers one JSON line; the end of stdin stops."""
    pending = bytearray()

    def on_readable() -> None:
        chunk = os.read(fd, 4096)
        if not chunk:
            raise Stop
        pending.extend(chunk)
        while b"\n" in pending:
            line, _, rest = bytes(pending).partition(b"\n")
            pending[:] = rest
            command = line.decode(errors="replace").strip()
            if command == "stats":
                _print_line(relay.stats())
            elif command:
                _print_line({"error": f"unknown command {command!r}; the only command is stats"})

    return on_readable


def serve(args) -> int:
    def ask_to_stop(signum, frame):
        raise Stop
    key = public_key(args.peer_public_key) if args.peer_public_key else None
    relay = Relay(ipv4_address(args.listen), ipv4_address(args.peer), Faults.from_json(args.to_peer),
                  Faults.from_json(args.to_client), key)
    try:
        for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(signum, ask_to_stop)
        relay.watch(sys.stdin.fileno(), _control(relay, sys.stdin.fileno()))
        _print_line({"endpoint": relay.endpoint, "peer_endpoint": "%s:%d" % relay.peer, "pid": os.getpid()})
        relay.run()
    except (Stop, BrokenPipeError):
        pass
    finally:
        for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(signum, signal.SIG_IGN)
        relay.close()
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="A misbehaving UDP relay in front of a WireGuard peer.")
    commands = parser.add_subparsers(dest="command", required=True)
    options = commands.add_parser("serve", help="relay until stdin closes or a signal arrives")
    options.add_argument("--peer", default="127.0.0.1:51820", help="the peer's endpoint (IPV4:PORT)")
    options.add_argument("--listen", default="127.0.0.1:0", help="where clients send (IPV4:PORT)")
    options.add_argument("--peer-public-key", help="base64; needed by forge_cookie")
    options.add_argument("--to-peer", default="{}", help="faults client -> peer, a JSON object")
    options.add_argument("--to-client", default="{}", help="faults peer -> client, a JSON object")
    args = parser.parse_args(argv)
    try:
        return serve(args)
    except (RelayError, OSError) as error:
        _print_line({"error": str(error)})
        return 1


# -- from Python ----------------------------------------------------------------------


class UdpRelay:
    """A relay process inside a running peer's namespace; a context manager.

    `endpoint` is where the prober sends ("127.0.0.1:PORT", valid inside the
    namespace, unless `listen` names another address of the namespace);
    `target` defaults to the peer's own IPv4 endpoint.
    """

    def __init__(self, peer, *, to_peer: Faults | None = None, to_client: Faults | None = None,
                 target: str | None = None, listen: str | None = None):
        self.to_peer = to_peer or Faults()
        self.to_client = to_client or Faults()
        check_directions(self.to_peer, self.to_client)
        for address in (target, listen):
            if address is not None:
                ipv4_address(address)
        self.peer = peer
        self.target = target
        self.listen = listen
        self.endpoint: str | None = None
        self.info: dict | None = None
        self._process: subprocess.Popen | None = None
        self._log: Path | None = None
        self._output = bytearray()

    def __enter__(self) -> "UdpRelay":
        self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    def start(self) -> dict:
        if self._process is not None:
            raise RelayError("relay already started")
        info = self.peer.info
        if info is None:
            raise RelayError("the peer is not running")
        argv = ["ip", "netns", "exec", info["namespace"], sys.executable, str(SCRIPT), "serve",
                "--peer", self.target or info["endpoint_ipv4"], "--peer-public-key", info["peer_public_key"],
                "--to-peer", self.to_peer.to_json(), "--to-client", self.to_client.to_json()]
        if self.listen is not None:
            argv += ["--listen", self.listen]
        self._log = Path(info["log_dir"]) / f"relay-{os.getpid()}-{next(_counter)}.log"
        with open(self._log, "wb") as log:
            # Its stdin is ours: when this process ends, however it ends, the relay sees
            # the end of its input and goes too.
            self._process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                             stderr=log, start_new_session=True)
        try:
            ready = self._line(START_TIMEOUT_S, "start")
            if "error" in ready:
                raise RelayError(f"relay refused to start: {ready['error']}")
            self.info, self.endpoint = ready, ready["endpoint"]
        except BaseException:
            self.stop()
            raise
        return self.info

    def stats(self) -> dict:
        """The counters so far: {"to_peer": {...}, "to_client": {...}, "clients": n}."""
        if self._process is None or self.endpoint is None:
            raise RelayError("relay is not running")
        try:
            self._process.stdin.write(b"stats\n")
            self._process.stdin.flush()
        except OSError as error:
            raise RelayError(f"relay is gone: {error}; log: {self._log_tail()}") from None
        return self._line(STATS_TIMEOUT_S, "answer stats")

    def stop(self) -> None:
        """Ends the relay: the end of its input first, then signals; safe to call twice."""
        process, self._process = self._process, None
        self.endpoint = None
        if process is None:
            return
        try:
            process.stdin.close()
        except OSError:
            pass
        try:
            process.wait(timeout=STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            wgpeer._end_process(process.pid, process)
        finally:
            process.stdout.close()

    def _line(self, timeout_s: float, what: str) -> dict:
        deadline = time.monotonic() + timeout_s
        fd = self._process.stdout.fileno()
        while b"\n" not in self._output:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise RelayError(f"relay did not {what} within {timeout_s:.0f} s; log: {self._log_tail()}")
            if select.select([fd], [], [], remaining)[0]:
                chunk = os.read(fd, 65536)
                if not chunk:
                    code = self._process.wait(timeout=STOP_TIMEOUT_S)
                    raise RelayError(f"relay exited ({code}) before it could {what}; log: {self._log_tail()}")
                self._output.extend(chunk)
        line, _, rest = bytes(self._output).partition(b"\n")
        self._output[:] = rest
        return json.loads(line)

    def _log_tail(self) -> str:
        try:
            return self._log.read_text(errors="replace").strip()[-2000:]
        except OSError:
            return ""


if __name__ == "__main__":
    sys.exit(main())
