#pragma once
// 32-byte keys as standard Base64 (RFC 4648 section 4, with padding). The only
// text accepted for a key is its canonical 44-character form: 43 characters of
// the standard alphabet, the last of which carries two zero trailing bits
// (A E I M Q U Y c g k o s w 0 4 8), then one "=". Missing or extra padding,
// the URL-safe alphabet, whitespace anywhere and every other length are refused.

#include "common/x25519.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quorlin {

inline constexpr std::size_t key_text_chars = 44;

// Decodes `text` into `out`. On failure returns false and `out` is zeroed.
// Runs in time that depends only on the text's length, not on its content.
bool decode_base64_key(std::string_view text, std::span<std::uint8_t, key_size_bytes> out) noexcept;

// The 44-character padded standard Base64 text of `key`.
std::string encode_base64_key(std::span<const std::uint8_t, key_size_bytes> key);

}  // namespace quorlin
