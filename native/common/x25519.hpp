#pragma once
// X25519 (RFC 7748) through libsodium: the one place the curve is computed,
// for the configuration's client key and the handshake's Diffie-Hellman alike.

#include "common/secret.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace quorlin {

// Every WireGuard key is this long: private, public and preshared.
inline constexpr std::size_t key_size_bytes = 32;

using KeyBytes = std::span<std::uint8_t, key_size_bytes>;
using ConstKeyBytes = std::span<const std::uint8_t, key_size_bytes>;

// The public key of `private_key` (base-point multiplication of a clamped
// copy; the caller's bytes are untouched).
void x25519_public_key(KeyBytes public_key, ConstKeyBytes private_key) noexcept;

// A fresh key pair from the secure random source.
void x25519_generate(SecretArray<key_size_bytes>& private_key, KeyBytes public_key) noexcept;

// The shared secret; false (and `shared` zeroed) when it is all zero, which a
// low-order peer point produces and the protocol must refuse.
[[nodiscard]] bool x25519(KeyBytes shared, ConstKeyBytes private_key, ConstKeyBytes public_key) noexcept;

}  // namespace quorlin
