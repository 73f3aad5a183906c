#include "python/repr_text.hpp"

#include "python/once_cell.hpp"
#include "python/py_ref.hpp"
#include "common/utf8.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace quorlin::python {

namespace {

// Grapheme_Extend is Mn + Me + Other_Grapheme_Extend. These are the members of
// Other_Grapheme_Extend that are not format characters (those are escaped by
// category anyway), as of Unicode 14, the database of this interpreter.
constexpr std::array<std::pair<char32_t, char32_t>, 23> other_grapheme_extend = {{
    {0x09BE, 0x09BE}, {0x09D7, 0x09D7}, {0x0B3E, 0x0B3E}, {0x0B57, 0x0B57}, {0x0BBE, 0x0BBE},
    {0x0BD7, 0x0BD7}, {0x0CC2, 0x0CC2}, {0x0CD5, 0x0CD6}, {0x0D3E, 0x0D3E}, {0x0D57, 0x0D57},
    {0x0DCF, 0x0DCF}, {0x0DDF, 0x0DDF}, {0x1B35, 0x1B35}, {0x302E, 0x302F}, {0xFF9E, 0xFF9F},
    {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD}, {0x115AF, 0x115AF},
    {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172},
}};

bool in_other_grapheme_extend(char32_t code_point) {
    return std::any_of(other_grapheme_extend.begin(), other_grapheme_extend.end(),
                       [&](const auto& range) { return code_point >= range.first && code_point <= range.second; });
}

OnceCell category_function;

PyObject* unicode_category_function() {
    return category_function.get_or_create([]() -> PyObject* {
        PyRef module(PyImport_ImportModule("unicodedata"));
        if (!module) return nullptr;
        return PyObject_GetAttrString(module.get(), "category");
    });
}

// 1 when a non-ASCII character must be escaped, 0 when it is shown, -1 on a
// Python error.
int escapes_by_category(char32_t code_point) {
    if (in_other_grapheme_extend(code_point)) return 1;
    PyObject* category = unicode_category_function();
    if (category == nullptr) return -1;
    PyRef character(PyUnicode_FromOrdinal(static_cast<int>(code_point)));
    if (!character) return -1;
    PyRef name(PyObject_CallOneArg(category, character.get()));
    if (!name) return -1;
    const char* text = PyUnicode_AsUTF8(name.get());
    if (text == nullptr) return -1;
    const std::string_view value(text);
    // Other (Cc Cf Cs Co Cn), separators (Zl Zp Zs: the ASCII space never gets
    // here) and the enclosing and non-spacing marks of Grapheme_Extend.
    return value.starts_with('C') || value.starts_with('Z') || value == "Mn" || value == "Me";
}

void append_unicode_escape(std::string& out, char32_t code_point) {
    char digits[16];
    const int length = std::snprintf(digits, sizeof digits, "\\u{%x}", static_cast<unsigned>(code_point));
    out.append(digits, static_cast<std::size_t>(length));
}

}  // namespace

bool append_quoted(std::string& out, std::string_view text) {
    out.push_back('"');
    for (std::size_t at = 0; at < text.size();) {
        const DecodedCharacter decoded = decode_utf8(text, at);
        const char32_t code_point = decoded.code_point;
        at += decoded.length;
        switch (code_point) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        bool escape = false;
        if (code_point < 0x80) {
            escape = code_point < 0x20 || code_point == 0x7F;
        } else {
            const int verdict = escapes_by_category(code_point);
            if (verdict < 0) return false;
            escape = verdict == 1;
        }
        if (escape) {
            append_unicode_escape(out, code_point);
        } else {
            append_utf8(out, code_point);
        }
    }
    out.push_back('"');
    return true;
}

bool append_optional_quoted(std::string& out, const std::optional<std::string>& text) {
    if (!text) {
        out += "None";
        return true;
    }
    out += "Some(";
    if (!append_quoted(out, *text)) return false;
    out.push_back(')');
    return true;
}

}  // namespace quorlin::python
