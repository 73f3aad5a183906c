#pragma once
// Everything the command prints goes through here, straight to the file
// descriptors: a write that fails (a full disk, a closed pipe) is seen and
// becomes the command's own failure instead of being lost in a buffer.

#include <expected>
#include <string_view>

namespace quorlin::command {

// Writes all of `text` to `fd`; the error number of the write that failed.
// A descriptor that is not ready (non-blocking) is waited for, within a bound.
std::expected<void, int> write_all(int fd, std::string_view text);

// One line "quorlin: MESSAGE" on stderr, control characters escaped. Nothing
// is left to do when stderr itself cannot be written, so that is ignored.
void print_error(std::string_view message);

// Writes `text` to stdout; on failure prints one line about it on stderr and
// returns false.
bool print_output(std::string_view text);

}  // namespace quorlin::command
