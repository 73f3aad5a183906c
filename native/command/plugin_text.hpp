#pragma once
// Free text (from configuration, the system, the probe's details) inside
// plugin output. Escaped for the terminal; ';' becomes ',', since Nagios
// rewrites every ';' of plugin output to ':' and ',' reads the same; '|'
// would start the performance data, and Nagios strips ` ~ $ & ' " < > from
// output that reaches its macros (notifications, event handlers): each of
// these is written as its escape, \x7c for '|'.

#include <string>
#include <string_view>

namespace quorlin::command {

void append_plugin_text(std::string& out, std::string_view text);

// Separators between the parts of a summary, none of them ';'.
inline constexpr std::string_view summary_part_separator = " - ";
inline constexpr std::string_view list_separator = ", ";

}  // namespace quorlin::command
