#pragma once
// Key types and key-text decoding.

#include "common/secret.hpp"
#include "config/base64_key.hpp"
#include "config/config_error.hpp"

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

namespace quorlin {

// A peer's X25519 public key: not secret.
using PublicKey = std::array<std::uint8_t, key_size_bytes>;
// A preshared key: secret, wiped on release and on replacement.
using PresharedKey = SecretArray<key_size_bytes>;

// An X25519 private key, holding the 32 bytes exactly as decoded: never
// clamped or otherwise altered here (the scalar multiplication clamps a copy),
// and its public key, derived once when the key is made so that the report and
// the tunnel share it. Wiped on destruction and on replacement; a moved-from
// value is left zeroed, public key included. Move-only, so that every extra
// copy of the secret is an explicit `clone()`.
class X25519StaticSecret {
public:
    explicit X25519StaticSecret(std::span<const std::uint8_t, key_size_bytes> bytes) noexcept;
    X25519StaticSecret(X25519StaticSecret&& other) noexcept;
    X25519StaticSecret& operator=(X25519StaticSecret&& other) noexcept;
    X25519StaticSecret(const X25519StaticSecret&) = delete;
    X25519StaticSecret& operator=(const X25519StaticSecret&) = delete;
    ~X25519StaticSecret() { wipe(); }

    X25519StaticSecret clone() const noexcept { return X25519StaticSecret(bytes_.view()); }
    std::span<const std::uint8_t, key_size_bytes> bytes() const noexcept { return bytes_.view(); }
    // Zeroes the key bytes and the public key now.
    void wipe() noexcept;

    // X25519 of this key with the base point (u = 9), as derived at construction.
    const PublicKey& public_key() const noexcept { return public_key_; }

private:
    SecretArray<key_size_bytes> bytes_;
    PublicKey public_key_;
};

// Decodes a private key; the text is used unchanged (callers trim it).
// Failure: InvalidKey "PrivateKey". The decode scratch is wiped on every path.
std::expected<X25519StaticSecret, ConfigError> parse_private_key(std::string_view text) noexcept;

// Decodes any 32-byte key; failure: InvalidKey carrying `name` (static text).
// The result is held in wiping storage, so it also serves preshared keys.
std::expected<SecretArray<key_size_bytes>, ConfigError> parse_key(std::string_view name,
                                                                   std::string_view text) noexcept;

}  // namespace quorlin
