#include "command/terminal_text.hpp"

#include "common/utf8.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace quorlin::command {

namespace {

// Non-ASCII characters that are not printable: the C1 controls, the format
// characters (bidirectional overrides among them), the separators other than
// the ASCII space and the private-use planes. Unassigned code points are shown.
constexpr std::array<std::pair<char32_t, char32_t>, 26> hidden_ranges = {{
    {0x0080, 0x00A0}, {0x00AD, 0x00AD}, {0x0600, 0x0605}, {0x061C, 0x061C}, {0x06DD, 0x06DD},
    {0x070F, 0x070F}, {0x0890, 0x0891}, {0x08E2, 0x08E2}, {0x1680, 0x1680}, {0x180E, 0x180E},
    {0x2000, 0x200F}, {0x2028, 0x202F}, {0x205F, 0x206F}, {0x3000, 0x3000},
    {0xD800, 0xF8FF}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x13438}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
    {0xF0000, 0xFFFFD}, {0x100000, 0x10FFFD},
}};

bool hidden(char32_t code_point) {
    if (code_point < 0x80) return code_point < 0x20 || code_point == 0x7F;
    return std::any_of(hidden_ranges.begin(), hidden_ranges.end(),
                       [&](const auto& range) { return code_point >= range.first && code_point <= range.second; });
}

void append_escape(std::string& out, char32_t value) {
    switch (value) {
        case U'\t': out += "\\t"; return;
        case U'\n': out += "\\n"; return;
        case U'\r': out += "\\r"; return;
        default: break;
    }
    char digits[12];
    const char* format = value < 0x100 ? "\\x%02x" : value < 0x10000 ? "\\u%04x" : "\\U%08x";
    const int length = std::snprintf(digits, sizeof digits, format, static_cast<unsigned>(value));
    out.append(digits, static_cast<std::size_t>(length));
}

}  // namespace

void append_shown(std::string& out, std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const DecodedCharacter decoded = decode_utf8(text, at);
        if (!decoded.valid) {
            // Each byte of an ill-formed sequence on its own, so nothing is lost.
            for (std::size_t i = 0; i < decoded.length; ++i) {
                append_escape(out, static_cast<unsigned char>(text[at + i]));
            }
        } else if (hidden(decoded.code_point)) {
            append_escape(out, decoded.code_point);
        } else {
            out.append(text.substr(at, decoded.length));
        }
        at += decoded.length;
    }
}

std::string shown(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_shown(out, text);
    return out;
}

std::size_t character_count(std::string_view shown_text) noexcept {
    // Shown text is valid UTF-8: count the bytes that start a character.
    return static_cast<std::size_t>(std::count_if(shown_text.begin(), shown_text.end(), [](char byte) {
        return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    }));
}

void append_cell(std::string& out, std::string_view shown_cell, std::size_t width, Align align) {
    const std::string padding(width - std::min(width, character_count(shown_cell)), ' ');
    if (align == Align::right) out += padding;
    out += shown_cell;
    if (align == Align::left) out += padding;
}

}  // namespace quorlin::command
