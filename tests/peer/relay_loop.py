"""The relay's event loop: both directions on one selector and one timer heap.

Arrival applies the faults of the datagram's direction in a fixed order
(forged cookie reply, drop, hold for reordering), then schedules what goes
out (junk, the datagram, its duplicate) at arrival + delay; departure sends
and counts. A delay never blocks: it is only a later place in the heap.
"""

from __future__ import annotations

import collections
import heapq
import itertools
import random
import selectors
import socket
import time

from relay_faults import Faults, RelayError, check_directions
from relay_messages import JUNK_KINDS, KIND_NAMES, CookieForger, junk, kind, sender_index

DIRECTIONS = ("to_peer", "to_client")
COUNTERS = ("received", "received_bytes", "forwarded", "duplicated", "dropped", "reordered", "junk",
            "forged_cookies", "sent", "sent_bytes", "send_errors")
REORDER_HOLD_S = 1.0      # a held datagram goes out alone when nothing follows it in time
REPLAY_HISTORY = 64       # earlier datagrams a replay junk datagram is picked from
MAX_CLIENTS = 1024        # client addresses with a socket towards the peer; the oldest goes first
READ_BATCH = 256          # datagrams read from one socket before the timers get a turn
SOCKET_BUFFER_BYTES = 4 << 20


class Stop(Exception):
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
        self.loss_draws = random.Random(faults.seed)

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
        check_directions(to_peer, to_client)
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
        """Until a watched callback or a signal handler raises Stop."""
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
        if (position in faults.drop_nth or (faults.drop_from is not None and position >= faults.drop_from)
                or (faults.drop_every and position % faults.drop_every == 0)
                or (faults.max_bytes is not None and len(datagram) > faults.max_bytes)
                or (faults.loss and direction.loss_draws.random() < faults.loss)):
            counters["dropped"] += 1
            return
        if position in faults.reorder and direction.held is None:
            held = direction.held = (flow, datagram)
            self._timer(now + REORDER_HOLD_S, lambda: self._release(direction, held))
            return
        self._forward(direction, flow, datagram, now + dict(faults.late).get(position, 0) / 1000)
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
