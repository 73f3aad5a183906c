#pragma once
// Free text (from configuration, the system, the probe's details) inside a
// plugin line's summary. Escaped for the terminal; '|' would start the
// performance data, so it is escaped too; ';' becomes ',', since Nagios
// rewrites every ';' of plugin output to ':' and ',' reads the same.

#include <string>
#include <string_view>

namespace quorlin::command {

void append_plugin_text(std::string& out, std::string_view text);

// Separators between the parts of a summary, none of them ';'.
inline constexpr std::string_view summary_part_separator = " - ";
inline constexpr std::string_view list_separator = ", ";

}  // namespace quorlin::command
