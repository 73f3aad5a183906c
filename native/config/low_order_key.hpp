#pragma once
// Public keys that can never complete a handshake: the points of small order
// on Curve25519. Any Diffie-Hellman with them gives the all-zero secret, which
// both ends of a WireGuard handshake refuse, so a probe with such a peer key
// is a mistake of its input, not an answer from the peer.

#include "config/keys.hpp"

namespace quorlin {

// True for the u-coordinates of small order (and their non-canonical
// encodings, bit 255 being ignored as X25519 ignores it).
bool is_low_order_public_key(const PublicKey& key) noexcept;

}  // namespace quorlin
