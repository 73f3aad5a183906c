#pragma once
// Thin wrappers over the primitives the protocol names: the two
// ChaCha20-Poly1305 AEADs from libsodium, BLAKE2s from libb2, and X25519 from
// the common layer (shared with the configuration's key handling). Nothing
// here is a primitive of our own; these only fix lengths and check results.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "common/secret.hpp"
#include "common/x25519.hpp"

namespace quorlin::wireguard {

// X25519 keys, AEAD keys and chaining keys share the one key length.
inline constexpr std::size_t key_bytes = key_size_bytes;
inline constexpr std::size_t hash_bytes = 32;    // BLAKE2s-256
inline constexpr std::size_t mac_bytes = 16;     // keyed BLAKE2s-128
inline constexpr std::size_t tag_bytes = 16;     // Poly1305
inline constexpr std::size_t nonce_bytes = 12;   // ChaCha20-Poly1305 IETF
inline constexpr std::size_t xnonce_bytes = 24;  // XChaCha20-Poly1305 IETF

using Bytes = std::span<const std::uint8_t>;
// A 32-byte key as the caller holds it (X25519 private or public key, or the
// preshared key).
using KeyView = std::span<const std::uint8_t, key_bytes>;

// The bytes of a protocol label such as "mac1----".
inline Bytes text_bytes(std::string_view text) noexcept {
    return Bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

using Nonce = std::array<std::uint8_t, nonce_bytes>;
using XNonce = std::array<std::uint8_t, xnonce_bytes>;

// --- ChaCha20-Poly1305 IETF (RFC 8439) ---

// The protocol's nonce: 32 zero bits, then the 64-bit counter little-endian.
Nonce counter_nonce(std::uint64_t counter) noexcept;

// `sealed` is plaintext.size() + tag_bytes long; it may start at `plaintext`.
void aead_seal(std::span<std::uint8_t> sealed, std::span<const std::uint8_t, key_bytes> key, const Nonce& nonce,
               Bytes plaintext, Bytes associated_data) noexcept;
// `plaintext` is sealed.size() - tag_bytes long; false when the tag does not verify.
[[nodiscard]] bool aead_open(std::span<std::uint8_t> plaintext, std::span<const std::uint8_t, key_bytes> key,
                             const Nonce& nonce, Bytes sealed, Bytes associated_data) noexcept;

// --- XChaCha20-Poly1305 IETF (cookie replies) ---

void xaead_seal(std::span<std::uint8_t> sealed, std::span<const std::uint8_t, key_bytes> key, const XNonce& nonce,
                Bytes plaintext, Bytes associated_data) noexcept;
[[nodiscard]] bool xaead_open(std::span<std::uint8_t> plaintext, std::span<const std::uint8_t, key_bytes> key,
                              const XNonce& nonce, Bytes sealed, Bytes associated_data) noexcept;

// --- BLAKE2s (RFC 7693) ---

// HASH: unkeyed BLAKE2s-256 over the concatenation of `parts`.
void hash(std::span<std::uint8_t, hash_bytes> out, std::initializer_list<Bytes> parts) noexcept;

// Keyed BLAKE2s over the concatenation of `parts`, with a 1..32-byte key and
// a 1..32-byte output (the protocol's MAC is the 16-byte output).
void keyed_hash(std::span<std::uint8_t> out, Bytes key, std::initializer_list<Bytes> parts) noexcept;

inline void mac(std::span<std::uint8_t, mac_bytes> out, Bytes key, std::initializer_list<Bytes> parts) noexcept {
    keyed_hash(out, key, parts);
}

}  // namespace quorlin::wireguard
