#include "command/plugin_text.hpp"

#include "command/terminal_text.hpp"

namespace quorlin::command {

void append_plugin_text(std::string& out, std::string_view text) {
    for (char c : shown(text)) {
        if (c == '|') {
            out += "\\x7c";
        } else if (c == ';') {
            out.push_back(',');
        } else {
            out.push_back(c);
        }
    }
}

}  // namespace quorlin::command
