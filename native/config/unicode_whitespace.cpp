#include "config/unicode_whitespace.hpp"

#include <array>
#include <cstddef>

namespace quorlin {
namespace {

// UTF-8 encodings of the White_Space characters above U+007F.
constexpr std::array<std::string_view, 19> wide_spaces = {
    "\xC2\x85",      // U+0085 next line
    "\xC2\xA0",      // U+00A0 no-break space
    "\xE1\x9A\x80",  // U+1680 ogham space mark
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A",  // U+2000 to U+200A
    "\xE2\x80\xA8",  // U+2028 line separator
    "\xE2\x80\xA9",  // U+2029 paragraph separator
    "\xE2\x80\xAF",  // U+202F narrow no-break space
    "\xE2\x81\x9F",  // U+205F medium mathematical space
    "\xE3\x80\x80",  // U+3000 ideographic space
};

bool is_ascii_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Length in bytes of the whitespace character that `text` starts with, or 0.
std::size_t leading_space(std::string_view text) noexcept {
    if (text.empty()) return 0;
    if (is_ascii_space(text.front())) return 1;
    for (std::string_view space : wide_spaces) {
        if (text.starts_with(space)) return space.size();
    }
    return 0;
}

// Length in bytes of the whitespace character that `text` ends with, or 0. A
// multi-byte match at the end is a whole character: its lead byte cannot be
// the continuation of an earlier one.
std::size_t trailing_space(std::string_view text) noexcept {
    if (text.empty()) return 0;
    if (is_ascii_space(text.back())) return 1;
    for (std::string_view space : wide_spaces) {
        if (text.ends_with(space)) return space.size();
    }
    return 0;
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) noexcept {
    while (const std::size_t n = leading_space(text)) text.remove_prefix(n);
    while (const std::size_t n = trailing_space(text)) text.remove_suffix(n);
    return text;
}

}  // namespace quorlin
