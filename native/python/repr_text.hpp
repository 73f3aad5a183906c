#pragma once
// The quoting used inside the report classes' reprs.

#include <optional>
#include <string>
#include <string_view>

namespace quorlin::python {

// Appends `text` (UTF-8) in double quotes: \" and \\, \t \r \n \0, and \u{x}
// (lower-case hex) for every character the Unicode database classes as
// control, format, surrogate, private use, unassigned, or a separator other
// than the ordinary space, and for every grapheme-extending mark. Needs the
// interpreter lock (the classes come from unicodedata); returns false with a
// Python exception pending if that module cannot be used.
bool append_quoted(std::string& out, std::string_view text);

// None, or Some("...") around the quoted text.
bool append_optional_quoted(std::string& out, const std::optional<std::string>& text);

}  // namespace quorlin::python
