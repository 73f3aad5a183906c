#pragma once
// Texts from configuration files, paths and the system, made safe to show on a
// terminal: a control, format, separator or private-use character becomes a
// visible escape instead of acting on the terminal, as Python's repr writes it
// (\t, \n, \r, \xNN, \uNNNN, \UNNNNNNNN); a byte that is not UTF-8 becomes \xNN.

#include <cstddef>
#include <string>
#include <string_view>

namespace quorlin::command {

void append_shown(std::string& out, std::string_view text);
std::string shown(std::string_view text);

// The number of characters (code points) of a text that append_shown wrote:
// the width a terminal gives it, as the table's columns count it.
std::size_t character_count(std::string_view shown_text) noexcept;

// One cell of a table: shown text padded with spaces to `width` characters,
// on the right or, for numbers, on the left. A wider cell is not cut.
enum class Align : bool { left, right };
void append_cell(std::string& out, std::string_view shown_cell, std::size_t width, Align align);

}  // namespace quorlin::command
