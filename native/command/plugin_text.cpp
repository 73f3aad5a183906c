#include "command/plugin_text.hpp"

#include "command/terminal_text.hpp"

#include <cstdio>

namespace quorlin::command {

namespace {

constexpr std::string_view kept_from_macros = "|`~$&'\"<>";

}  // namespace

void append_plugin_text(std::string& out, std::string_view text) {
    for (char c : shown(text)) {
        if (c == ';') {
            out.push_back(',');
        } else if (kept_from_macros.find(c) != std::string_view::npos) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
}

}  // namespace quorlin::command
