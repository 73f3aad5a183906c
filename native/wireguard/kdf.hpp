#pragma once
// The protocol's key derivation: HMAC over BLAKE2s-256 (RFC 2104 with a
// 64-byte block) and the HKDF-style KDF1/KDF2/KDF3 built on it.
//
//   tau0 = HMAC(key, input)
//   tau1 = HMAC(tau0, 0x01), tau_i = HMAC(tau0, tau_{i-1} || i)
//
// Outputs may alias the key (the chaining key is usually replaced in place).

#include <cstdint>
#include <span>

#include "wireguard/crypto.hpp"

namespace quorlin::wireguard {

using Key32 = std::span<std::uint8_t, key_bytes>;

// `key` is at most 64 bytes (the protocol only uses 32-byte keys).
void hmac(std::span<std::uint8_t, hash_bytes> out, Bytes key, Bytes input) noexcept;

void kdf1(Key32 t1, Bytes key, Bytes input) noexcept;
void kdf2(Key32 t1, Key32 t2, Bytes key, Bytes input) noexcept;
void kdf3(Key32 t1, Key32 t2, Key32 t3, Bytes key, Bytes input) noexcept;

}  // namespace quorlin::wireguard
