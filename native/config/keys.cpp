#include "config/keys.hpp"

#include "common/sodium_init.hpp"

#include <sodium.h>

#include <cstdlib>

namespace quorlin {

X25519StaticSecret::X25519StaticSecret(X25519StaticSecret&& other) noexcept : bytes_(other.bytes_) {
    other.bytes_.clear();
}

X25519StaticSecret& X25519StaticSecret::operator=(X25519StaticSecret&& other) noexcept {
    if (this != &other) {
        bytes_ = other.bytes_;  // wipes the replaced key before copying
        other.bytes_.clear();
    }
    return *this;
}

PublicKey X25519StaticSecret::public_key() const noexcept {
    ensure_sodium();
    PublicKey result{};
    // Clamps a private copy of the scalar; the stored bytes are untouched. With
    // the base point the result is never the all-zero value it refuses.
    if (crypto_scalarmult_base(result.data(), bytes_.data()) != 0) std::abort();
    return result;
}

std::expected<X25519StaticSecret, ConfigError> parse_private_key(std::string_view text) noexcept {
    SecretArray<key_size_bytes> scratch;  // zeroed now, wiped when it goes
    if (!decode_base64_key(text, scratch.span())) {
        return std::unexpected(ConfigError{ConfigError::InvalidKey{"PrivateKey"}});
    }
    return X25519StaticSecret(scratch.view());
}

std::expected<SecretArray<key_size_bytes>, ConfigError> parse_key(std::string_view name,
                                                                   std::string_view text) noexcept {
    SecretArray<key_size_bytes> scratch;
    if (!decode_base64_key(text, scratch.span())) {
        return std::unexpected(ConfigError{ConfigError::InvalidKey{name}});
    }
    return scratch;
}

}  // namespace quorlin
