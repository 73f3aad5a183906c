#include "config/base64_key.hpp"

#include "common/secret.hpp"

#include <sodium.h>

namespace quorlin {
namespace {

// All-ones when lo <= c <= hi, else zero; no branch on the (secret) character.
// c lies in 0..255, so both differences fit an int and the right shift of a
// negative value is arithmetic.
int in_range_mask(int c, int lo, int hi) noexcept { return ((lo - 1 - c) & (c - hi - 1)) >> 8; }
int equals_mask(int c, int wanted) noexcept { return ((c ^ wanted) - 1) >> 8; }

// Value 0..63 of a standard-alphabet character, and whether it is one.
struct Sextet {
    unsigned value;
    unsigned invalid;  // 1 when the character is not in the alphabet
};

Sextet decode_char(unsigned char byte) noexcept {
    const int c = byte;
    const int upper = in_range_mask(c, 'A', 'Z');
    const int lower = in_range_mask(c, 'a', 'z');
    const int digit = in_range_mask(c, '0', '9');
    const int plus = equals_mask(c, '+');
    const int slash = equals_mask(c, '/');
    const int value = (upper & (c - 'A')) | (lower & (c - 'a' + 26)) | (digit & (c - '0' + 52)) | (plus & 62) |
                      (slash & 63);
    const int valid = upper | lower | digit | plus | slash;
    return Sextet{static_cast<unsigned>(value) & 63u, static_cast<unsigned>(~valid) & 1u};
}

}  // namespace

bool decode_base64_key(std::string_view text, std::span<std::uint8_t, key_size_bytes> out) noexcept {
    // 32 bytes are 256 bits: 42 full characters and a 43rd carrying 4 data bits
    // and 2 zero bits, then exactly one pad character. Any other length is
    // either padded wrongly or decodes to a length other than 32.
    if (text.size() != key_text_chars || text[key_text_chars - 1] != '=') {
        wipe(out.data(), out.size());
        return false;
    }
    unsigned invalid = 0;
    std::uint32_t bits = 0;
    unsigned bit_count = 0;
    std::size_t written = 0;
    for (std::size_t i = 0; i + 1 < key_text_chars; ++i) {
        const Sextet s = decode_char(static_cast<unsigned char>(text[i]));
        invalid |= s.invalid;
        bits = (bits << 6) | s.value;
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            out[written++] = static_cast<std::uint8_t>(bits >> bit_count);
        }
    }
    // Two bits are left over; canonical text has them zero.
    invalid |= static_cast<unsigned>((bits & 3u) != 0);
    wipe(&bits, sizeof bits);
    if (invalid != 0) {
        wipe(out.data(), out.size());
        return false;
    }
    return true;
}

std::string encode_base64_key(std::span<const std::uint8_t, key_size_bytes> key) {
    char text[sodium_base64_ENCODED_LEN(key_size_bytes, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(text, sizeof text, key.data(), key.size(), sodium_base64_VARIANT_ORIGINAL);
    return std::string(text, key_text_chars);
}

}  // namespace quorlin
