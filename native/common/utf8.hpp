#pragma once
// UTF-8 decoding for texts shown to people or written as JSON: file paths
// (which are byte strings), the report's texts in reprs and in JSON.

#include <cstddef>
#include <string>
#include <string_view>

namespace quorlin {

inline constexpr char32_t replacement_character = 0xFFFD;

struct DecodedCharacter {
    char32_t code_point = replacement_character;
    std::size_t length = 1;  // bytes consumed, at least 1
    bool valid = false;
};

// The character starting at text[at] (at < text.size()). An ill-formed
// sequence decodes as U+FFFD covering its maximal well-formed prefix, the
// replacement practice Unicode recommends (and Python's "replace" follows).
DecodedCharacter decode_utf8(std::string_view text, std::size_t at) noexcept;

bool is_valid_utf8(std::string_view text) noexcept;

// `bytes` as UTF-8 text, every ill-formed sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

void append_utf8(std::string& out, char32_t code_point);

}  // namespace quorlin
