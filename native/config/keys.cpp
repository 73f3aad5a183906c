#include "config/keys.hpp"

#include "common/x25519.hpp"

namespace quorlin {

X25519StaticSecret::X25519StaticSecret(std::span<const std::uint8_t, key_size_bytes> bytes) noexcept
    : bytes_(bytes) {
    x25519_public_key(public_key_, bytes_.view());
}

X25519StaticSecret::X25519StaticSecret(X25519StaticSecret&& other) noexcept
    : bytes_(other.bytes_), public_key_(other.public_key_) {
    other.wipe();
}

X25519StaticSecret& X25519StaticSecret::operator=(X25519StaticSecret&& other) noexcept {
    if (this != &other) {
        bytes_ = other.bytes_;  // wipes the replaced key before copying
        public_key_ = other.public_key_;
        other.wipe();
    }
    return *this;
}

void X25519StaticSecret::wipe() noexcept {
    bytes_.clear();
    quorlin::wipe(public_key_.data(), public_key_.size());
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
