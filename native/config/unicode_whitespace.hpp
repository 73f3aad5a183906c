#pragma once
// Trimming of UTF-8 text by the Unicode White_Space property: U+0009 to
// U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029,
// U+202F, U+205F and U+3000. U+FEFF (byte-order mark) is not whitespace.
// Bytes that are not valid UTF-8 are never trimmed.

#include <string_view>

namespace quorlin {

std::string_view trim_unicode_whitespace(std::string_view text) noexcept;

}  // namespace quorlin
