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
import base64
import binascii
import collections
import dataclasses
import heapq
import itertools
import json
import os
import select
import selectors
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import wgpeer  # noqa: E402
from relay_messages import JUNK_KINDS, KIND_NAMES, CookieForger, junk, kind, sender_index  # noqa: E402

SCRIPT = Path(__file__).resolve()
DIRECTIONS = ("to_peer", "to_client")
COUNTERS = ("received", "received_bytes", "forwarded", "duplicated", "dropped", "reordered", "junk",
            "forged_cookies", "sent", "sent_bytes", "send_errors")
MAX_DELAY_MS = 60_000
MAX_JUNK = 64
REORDER_HOLD_S = 1.0      # a held datagram goes out alone when nothing follows it in time
REPLAY_HISTORY = 64       # earlier datagrams a replay junk datagram is picked from
MAX_CLIENTS = 1024        # client addresses with a socket towards the peer; the oldest goes first
READ_BATCH = 256          # datagrams read from one socket before the timers get a turn
SOCKET_BUFFER_BYTES = 4 << 20
START_TIMEOUT_S = 20.0
STATS_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0

_counter = itertools.count()


class RelayError(Exception):
    """The relay could not be configured, started, asked or stopped; the text says why."""


# -- configuration ----------------------------------------------------------


def _positions(name: str, value) -> tuple[int, ...]:
    items = (value,) if isinstance(value, int) and not isinstance(value, bool) else tuple(value)
    if not all(isinstance(n, int) and not isinstance(n, bool) and n >= 1 for n in items):
        raise RelayError(f"{name} takes datagram positions counted from 1, got {value!r}")
    return tuple(sorted(set(items)))


def _bounded(name: str, value, low: int, high: int) -> None:
    if not isinstance(value, int) or isinstance(value, bool) or not low <= value <= high:
        raise RelayError(f"{name} must be an integer from {low} through {high}, got {value!r}")


@dataclasses.dataclass(frozen=True)
class Faults:
    """What the relay does to one direction; the default forwards everything at once.

    Positions count the datagrams that arrive in this direction, from 1.
    """

    delay_ms: int = 0                 # every datagram (and its junk) goes out this much later
    duplicate: bool = False           # every forwarded datagram goes out twice
    drop_nth: tuple[int, ...] = ()    # these datagrams are dropped (an int or a list)
    drop_from: int | None = None      # this one and every later one is dropped (1: everything)
    junk: int = 0                     # junk datagrams before each forwarded one, cycling JUNK_KINDS
    reorder: tuple[int, ...] = ()     # each of these is held back and sent right after the next one
    forge_cookie: bool = False        # to_client only: answer each client initiation with a cookie reply
    forge_cookie_forward: bool = False  # with forge_cookie: still forward the initiation to the peer

    def __post_init__(self):
        _bounded("delay_ms", self.delay_ms, 0, MAX_DELAY_MS)
        _bounded("junk", self.junk, 0, MAX_JUNK)
        object.__setattr__(self, "drop_nth", _positions("drop_nth", self.drop_nth))
        object.__setattr__(self, "reorder", _positions("reorder", self.reorder))
        if self.drop_from is not None:
            _positions("drop_from", self.drop_from)
        for flag in ("duplicate", "forge_cookie", "forge_cookie_forward"):
            if not isinstance(getattr(self, flag), bool):
                raise RelayError(f"{flag} must be true or false, got {getattr(self, flag)!r}")
        if self.forge_cookie_forward and not self.forge_cookie:
            raise RelayError("forge_cookie_forward only applies with forge_cookie")

    def to_json(self) -> str:
        return json.dumps(dataclasses.asdict(self), separators=(",", ":"))

    @classmethod
    def from_json(cls, text: str) -> "Faults":
        try:
            fields = json.loads(text)
        except json.JSONDecodeError as error:
            raise RelayError(f"faults are not JSON: {error}") from None
        if not isinstance(fields, dict):
            raise RelayError("faults must be a JSON object")
        unknown = sorted(set(fields) - {f.name for f in dataclasses.fields(cls)})
        if unknown:
            raise RelayError("unknown faults: " + ", ".join(unknown))
        return cls(**fields)


def _check_directions(to_peer: Faults, to_client: Faults) -> None:
    if not isinstance(to_peer, Faults) or not isinstance(to_client, Faults):
        raise RelayError("to_peer and to_client take Faults")
    if to_peer.forge_cookie:
        raise RelayError("forge_cookie answers the client, so it belongs to to_client")


def _address(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    try:
        socket.inet_pton(socket.AF_INET, host)
        number = int(port)
    except (OSError, ValueError):
        number = -1
    if not sep or not 0 <= number <= 65535:
        raise RelayError(f"expected IPV4:PORT, got {text!r}")
    return host, number


def _public_key(text: str) -> bytes:
    try:
        key = base64.b64decode(text, validate=True)
    except binascii.Error:
        key = b""
    if len(key) != 32:
        raise RelayError("the peer public key must be 32 bytes in base64")
    return key


# -- the event loop -----------------------------------------------------------


class _Stop(Exception):
    """A signal asked the relay to end."""


class _Direction:
    def __init__(self, name: str, faults: Faults):
        self.name = name
        self.faults = faults
        self.counters = dict.fromkeys(COUNTERS, 0)
        self.by_kind = dict.fromkeys(KIND_NAMES, 0)
        self.history: collections.deque[bytes] = collections.deque(maxlen=REPLAY_HISTORY)
        self.junk_turn = 0
        self.held: tuple | None = None  # (flow, datagram) waiting for the next datagram

    def stats(self) -> dict:
        return {**self.counters, "received_by_kind": dict(self.by_kind)}


class _Flow:
    """One client address and its own connected socket towards the peer."""

    def __init__(self, client: tuple[str, int], upstream: socket.socket):
        self.client = client
        self.upstream = upstream
        # The index each side announced in its handshake messages: junk towards
        # a side carries that side's own index.
        self.receiver_index: dict[str, bytes | None] = dict.fromkeys(DIRECTIONS)


class Relay:
    """Both directions on one selector; owns its sockets (close with `close`)."""

    def __init__(self, listen: tuple[str, int], peer: tuple[str, int], to_peer: Faults, to_client: Faults,
                 peer_public_key: bytes | None = None):
        _check_directions(to_peer, to_client)
        if to_client.forge_cookie and peer_public_key is None:
            raise RelayError("forge_cookie needs the peer's public key")
        self.peer = peer
        self.directions = {"to_peer": _Direction("to_peer", to_peer),
                           "to_client": _Direction("to_client", to_client)}
        self.forger = CookieForger(peer_public_key) if to_client.forge_cookie else None
        self.flows: collections.OrderedDict[tuple, _Flow] = collections.OrderedDict()
        self.timers: list = []  # heap of (due, sequence, action)
        self._sequence = itertools.count()
        self.selector = selectors.DefaultSelector()
        self.listener = _udp_socket()
        try:
            self.listener.bind(listen)
            self.selector.register(self.listener, selectors.EVENT_READ, self._from_clients)
        except BaseException:
            self.close()
            raise
        self.endpoint = "%s:%d" % self.listener.getsockname()

    def close(self) -> None:
        for flow in self.flows.values():
            flow.upstream.close()
        self.flows.clear()
        self.listener.close()
        self.selector.close()

    def stats(self) -> dict:
        return {**{name: d.stats() for name, d in self.directions.items()}, "clients": len(self.flows)}

    def watch(self, fd: int, on_readable) -> None:
        self.selector.register(fd, selectors.EVENT_READ, on_readable)

    def run(self) -> None:
        """Until a watched callback or a signal handler raises _Stop."""
        while True:
            timeout = max(0.0, self.timers[0][0] - time.monotonic()) if self.timers else None
            for key, _ in self.selector.select(timeout):
                key.data()
            now = time.monotonic()
            while self.timers and self.timers[0][0] <= now:
                heapq.heappop(self.timers)[2]()

    # -- arrival ------------------------------------------------------------

    def _from_clients(self) -> None:
        for _ in range(READ_BATCH):
            try:
                datagram, client = self.listener.recvfrom(65535)
            except BlockingIOError:
                return
            except OSError:
                continue
            self._arrive(self.directions["to_peer"], self._flow(client), datagram)

    def _from_peer(self, flow: _Flow) -> None:
        for _ in range(READ_BATCH):
            try:
                datagram = flow.upstream.recv(65535)
            except ConnectionRefusedError:
                continue  # nothing listens at the peer's endpoint (yet)
            except OSError:
                return  # drained, or the flow was just closed
            self._arrive(self.directions["to_client"], flow, datagram)

    def _flow(self, client: tuple) -> _Flow:
        flow = self.flows.get(client)
        if flow is not None:
            self.flows.move_to_end(client)
            return flow
        if len(self.flows) >= MAX_CLIENTS:
            _, oldest = self.flows.popitem(last=False)
            self.selector.unregister(oldest.upstream)
            oldest.upstream.close()
        upstream = _udp_socket()
        try:
            upstream.connect(self.peer)
            flow = _Flow(client, upstream)
            self.selector.register(upstream, selectors.EVENT_READ, lambda: self._from_peer(flow))
        except BaseException:
            upstream.close()
            raise
        self.flows[client] = flow
        return flow

    def _arrive(self, direction: _Direction, flow: _Flow, datagram: bytes) -> None:
        now = time.monotonic()
        counters, faults = direction.counters, direction.faults
        counters["received"] += 1
        counters["received_bytes"] += len(datagram)
        direction.by_kind[kind(datagram)] += 1
        position = counters["received"]
        index = sender_index(datagram)
        if index is not None:
            other = "to_client" if direction.name == "to_peer" else "to_peer"
            flow.receiver_index[other] = index

        if self.forger is not None and direction.name == "to_peer" and kind(datagram) == "initiation":
            to_client = self.directions["to_client"]
            self._at(now + to_client.faults.delay_ms / 1000, to_client, flow,
                     self.forger.reply(datagram), "forged_cookies")
            if not to_client.faults.forge_cookie_forward:
                counters["dropped"] += 1
                return
        if position in faults.drop_nth or (faults.drop_from is not None and position >= faults.drop_from):
            counters["dropped"] += 1
            return
        if position in faults.reorder and direction.held is None:
            held = direction.held = (flow, datagram)
            self._timer(now + REORDER_HOLD_S, lambda: self._release(direction, held))
            return
        self._forward(direction, flow, datagram, now)
        if direction.held is not None:
            held, direction.held = direction.held, None
            self._forward(direction, *held, now)
            counters["reordered"] += 1

    def _release(self, direction: _Direction, held: tuple) -> None:
        if direction.held is held:
            direction.held = None
            self._forward(direction, *held, time.monotonic())

    def _forward(self, direction: _Direction, flow: _Flow, datagram: bytes, now: float) -> None:
        faults = direction.faults
        due = now + faults.delay_ms / 1000
        for _ in range(faults.junk):
            kind_name = JUNK_KINDS[direction.junk_turn % len(JUNK_KINDS)]
            direction.junk_turn += 1
            self._at(due, direction, flow, junk(kind_name, flow.receiver_index[direction.name],
                                                direction.history), "junk")
        self._at(due, direction, flow, datagram, "forwarded")
        if faults.duplicate:
            self._at(due, direction, flow, datagram, "duplicated")
        direction.history.append(datagram)

    # -- departure ----------------------------------------------------------

    def _timer(self, due: float, action) -> None:
        heapq.heappush(self.timers, (due, next(self._sequence), action))

    def _at(self, due: float, direction: _Direction, flow: _Flow, datagram: bytes, counter: str) -> None:
        self._timer(due, lambda: self._send(direction, flow, datagram, counter))

    def _send(self, direction: _Direction, flow: _Flow, datagram: bytes, counter: str) -> None:
        counters = direction.counters
        try:
            if direction.name == "to_peer":
                flow.upstream.send(datagram)
            else:
                self.listener.sendto(datagram, flow.client)
        except OSError:
            counters["send_errors"] += 1
            return
        counters[counter] += 1
        counters["sent"] += 1
        counters["sent_bytes"] += len(datagram)


def _udp_socket() -> socket.socket:
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setblocking(False)
    for option in (socket.SO_RCVBUF, socket.SO_SNDBUF):
        try:
            sock.setsockopt(socket.SOL_SOCKET, option, SOCKET_BUFFER_BYTES)
        except OSError:
            pass  # the kernel caps it; the default still works
    return sock


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
            raise _Stop
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
        raise _Stop
    for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(signum, ask_to_stop)
    key = _public_key(args.peer_public_key) if args.peer_public_key else None
    relay = Relay(_address(args.listen), _address(args.peer), Faults.from_json(args.to_peer),
                  Faults.from_json(args.to_client), key)
    try:
        relay.watch(sys.stdin.fileno(), _control(relay, sys.stdin.fileno()))
        _print_line({"endpoint": relay.endpoint, "peer_endpoint": "%s:%d" % relay.peer, "pid": os.getpid()})
        relay.run()
    except (_Stop, BrokenPipeError):
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
    namespace); `target` defaults to the peer's own IPv4 endpoint.
    """

    def __init__(self, peer, *, to_peer: Faults | None = None, to_client: Faults | None = None,
                 target: str | None = None):
        self.to_peer = to_peer or Faults()
        self.to_client = to_client or Faults()
        _check_directions(self.to_peer, self.to_client)
        if target is not None:
            _address(target)
        self.peer = peer
        self.target = target
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
