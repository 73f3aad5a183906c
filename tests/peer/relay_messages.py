"""WireGuard messages as the relay (tests/peer/relay.py) sees them.

What a network or a stranger can put on the wire without any secret: the
message kind of a datagram, the index a side announces in its handshake
messages, junk datagrams of four kinds and a forged cookie reply, which needs
only the peer's public key. Crypto comes from hashlib (BLAKE2s) and libsodium
(XChaCha20-Poly1305) through ctypes.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import hashlib
import os
import secrets
import struct
from collections.abc import Sequence

INITIATION, RESPONSE, COOKIE_REPLY, TRANSPORT = 1, 2, 3, 4
INITIATION_BYTES, RESPONSE_BYTES, COOKIE_REPLY_BYTES = 148, 92, 64
TRANSPORT_MIN_BYTES = 32
KEY_BYTES, INDEX_BYTES, NONCE_BYTES, TAG_BYTES, COOKIE_BYTES = 32, 4, 24, 16, 16
MAC1_OFFSET = INITIATION_BYTES - 2 * TAG_BYTES  # mac1, then mac2, end an initiation
COOKIE_LABEL = b"cookie--"

# Names of the kinds in the relay's counters, in the engine's classification:
# by the 32-bit little-endian type word and the exact size.
KIND_NAMES = ("initiation", "response", "cookie_reply", "transport", "other")
JUNK_KINDS = ("random", "transport", "response", "replay")
RANDOM_JUNK_MAX_BYTES = 512
TRANSPORT_JUNK_MAX_BLOCKS = 8  # payload of 32 to 32 + 16*8 bytes


def kind(datagram: bytes) -> str:
    """One of KIND_NAMES."""
    if len(datagram) < 4:
        return "other"
    message_type = struct.unpack_from("<I", datagram)[0]
    size = len(datagram)
    if message_type == INITIATION and size == INITIATION_BYTES:
        return "initiation"
    if message_type == RESPONSE and size == RESPONSE_BYTES:
        return "response"
    if message_type == COOKIE_REPLY and size == COOKIE_REPLY_BYTES:
        return "cookie_reply"
    if message_type == TRANSPORT and size >= TRANSPORT_MIN_BYTES:
        return "transport"
    return "other"


def sender_index(datagram: bytes) -> bytes | None:
    """The index the sending side announced, from its initiation or response."""
    if kind(datagram) in ("initiation", "response"):
        return datagram[4:4 + INDEX_BYTES]
    return None


def junk(kind_name: str, receiver_index: bytes | None, history: Sequence[bytes]) -> bytes:
    """One junk datagram of the named kind (JUNK_KINDS).

    A fake transport message carries the receiver's real index when the relay
    has learnt it, so it passes the index check and fails only later; a replay
    falls back to random bytes while there is nothing earlier to replay.
    """
    if kind_name == "transport":
        index = receiver_index or os.urandom(INDEX_BYTES)
        payload = os.urandom(2 * TAG_BYTES + TAG_BYTES * secrets.randbelow(TRANSPORT_JUNK_MAX_BLOCKS + 1))
        return struct.pack("<I", TRANSPORT) + index + os.urandom(8) + payload
    if kind_name == "response":
        return struct.pack("<I", RESPONSE) + os.urandom(RESPONSE_BYTES - 4)
    if kind_name == "replay" and history:
        return history[secrets.randbelow(len(history))]
    if kind_name in ("random", "replay"):
        return os.urandom(1 + secrets.randbelow(RANDOM_JUNK_MAX_BYTES))
    raise ValueError(f"unknown junk kind {kind_name!r}")


class CookieForger:
    """Cookie replies to initiations, made from the peer's public key alone."""

    def __init__(self, peer_public_key: bytes):
        if len(peer_public_key) != KEY_BYTES:
            raise ValueError(f"peer public key must be {KEY_BYTES} bytes, got {len(peer_public_key)}")
        self._key = hashlib.blake2s(COOKIE_LABEL + peer_public_key, digest_size=KEY_BYTES).digest()
        self._sodium = _libsodium()

    def reply(self, initiation: bytes) -> bytes:
        """type 3, reserved, receiver = the initiation's sender, nonce, sealed random cookie."""
        if kind(initiation) != "initiation":
            raise ValueError("a cookie reply answers a 148-byte initiation")
        nonce = os.urandom(NONCE_BYTES)
        mac1 = initiation[MAC1_OFFSET:MAC1_OFFSET + TAG_BYTES]
        sealed = ctypes.create_string_buffer(COOKIE_BYTES + TAG_BYTES)
        sealed_len = ctypes.c_ulonglong(0)
        cookie = os.urandom(COOKIE_BYTES)
        result = self._sodium.crypto_aead_xchacha20poly1305_ietf_encrypt(
            sealed, ctypes.byref(sealed_len), cookie, len(cookie), mac1, len(mac1), None, nonce, self._key)
        if result != 0 or sealed_len.value != len(sealed):
            raise RuntimeError("libsodium refused to seal the cookie")
        return struct.pack("<I", COOKIE_REPLY) + initiation[4:4 + INDEX_BYTES] + nonce + sealed.raw


_sodium = None


def _libsodium() -> ctypes.CDLL:
    global _sodium
    if _sodium is None:
        library = ctypes.CDLL(ctypes.util.find_library("sodium") or "libsodium.so.23")
        if library.sodium_init() < 0:
            raise RuntimeError("libsodium could not be initialised")
        encrypt = library.crypto_aead_xchacha20poly1305_ietf_encrypt
        encrypt.restype = ctypes.c_int
        encrypt.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_ulonglong), ctypes.c_char_p,
                            ctypes.c_ulonglong, ctypes.c_char_p, ctypes.c_ulonglong, ctypes.c_void_p,
                            ctypes.c_char_p, ctypes.c_char_p]
        _sodium = library
    return _sodium
