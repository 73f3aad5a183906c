"""What the relay (tests/peer/relay.py) does to each direction, and its option checks."""

from __future__ import annotations

import base64
import binascii
import dataclasses
import json
import socket

MAX_DELAY_MS = 60_000
MAX_JUNK = 64


class RelayError(Exception):
    """The relay could not be configured, started, asked or stopped; the text says why."""


def _positions(name: str, value) -> tuple[int, ...]:
    try:
        items = (value,) if isinstance(value, int) and not isinstance(value, bool) else tuple(value)
    except TypeError:
        items = (None,)
    if isinstance(value, (str, bytes)) or not all(isinstance(n, int) and not isinstance(n, bool) and n >= 1 for n in items):
        raise RelayError(f"{name} takes datagram positions counted from 1, got {value!r}")
    return tuple(sorted(set(items)))


def _bounded(name: str, value, low: int, high: int) -> None:
    if not isinstance(value, int) or isinstance(value, bool) or not low <= value <= high:
        raise RelayError(f"{name} must be an integer from {low} through {high}, got {value!r}")


def _late(value) -> tuple[tuple[int, int], ...]:
    try:
        pairs = tuple((position, ms) for position, ms in value)
    except (TypeError, ValueError):
        pairs = ((None, None),)
    if isinstance(value, (str, bytes)) or not all(
            isinstance(n, int) and not isinstance(n, bool) and n >= 1 and
            isinstance(ms, int) and not isinstance(ms, bool) and 0 <= ms <= MAX_DELAY_MS for n, ms in pairs):
        raise RelayError(f"late takes (position, ms) pairs, positions from 1, ms from 0 through {MAX_DELAY_MS}, "
                         f"got {value!r}")
    return tuple(sorted(pairs))


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
    late: tuple[tuple[int, int], ...] = ()  # (position, ms) pairs: that datagram goes out ms later still
    drop_every: int = 0               # every drop_every-th datagram is dropped (3: the 3rd, 6th, ...)
    max_bytes: int | None = None      # datagrams larger than this are dropped (a path-MTU black hole)
    loss: float = 0.0                 # each datagram is dropped with this probability (a lossy path)
    seed: int | None = None           # seeds the loss draws, for a run that can be repeated
    forge_cookie: bool = False        # to_client only: answer each client initiation with a cookie reply
    forge_cookie_forward: bool = False  # with forge_cookie: still forward the initiation to the peer

    def __post_init__(self):
        _bounded("delay_ms", self.delay_ms, 0, MAX_DELAY_MS)
        _bounded("junk", self.junk, 0, MAX_JUNK)
        _bounded("drop_every", self.drop_every, 0, 1_000_000)
        if self.max_bytes is not None:
            _bounded("max_bytes", self.max_bytes, 0, 65535)
        if isinstance(self.loss, bool) or not isinstance(self.loss, (int, float)) or not 0 <= self.loss <= 1:
            raise RelayError(f"loss must be a probability from 0 through 1, got {self.loss!r}")
        if self.seed is not None and (not isinstance(self.seed, int) or isinstance(self.seed, bool)):
            raise RelayError(f"seed must be an integer, got {self.seed!r}")
        object.__setattr__(self, "drop_nth", _positions("drop_nth", self.drop_nth))
        object.__setattr__(self, "reorder", _positions("reorder", self.reorder))
        object.__setattr__(self, "late", _late(self.late))
        if self.drop_from is not None and (not isinstance(self.drop_from, int) or isinstance(self.drop_from, bool)
                                           or self.drop_from < 1):
            raise RelayError(f"drop_from takes a datagram position counted from 1, got {self.drop_from!r}")
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


def check_directions(to_peer: Faults, to_client: Faults) -> None:
    if not isinstance(to_peer, Faults) or not isinstance(to_client, Faults):
        raise RelayError("to_peer and to_client take Faults")
    if to_peer.forge_cookie:
        raise RelayError("forge_cookie answers the client, so it belongs to to_client")


def ipv4_address(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    try:
        socket.inet_pton(socket.AF_INET, host)
        number = int(port)
    except (OSError, ValueError):
        number = -1
    if not sep or not 0 <= number <= 65535:
        raise RelayError(f"expected IPV4:PORT, got {text!r}")
    return host, number


def public_key(text: str) -> bytes:
    try:
        key = base64.b64decode(text, validate=True)
    except binascii.Error:
        key = b""
    if len(key) != 32:
        raise RelayError("the peer public key must be 32 bytes in base64")
    return key
