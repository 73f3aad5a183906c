#pragma once
// The careful file reader, for every file quorlin reads (configuration,
// private key, fleet file): regular files only (never a link, directory,
// device, socket or pipe; a caller that follows links resolves the path
// first), size bounded before and while reading, contents kept in a
// SecretBuffer and wiped when released, since any of them may hold a key.

#include "input/secret_buffer.hpp"

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace quorlin::input {

// The whole file at `path` (a byte string as the system sees it), or the
// message naming the file's kind ("configuration", "private key", "fleet"),
// the path and, where the system refused, its error.
std::expected<SecretBuffer, std::string> read_file_carefully(const std::string& path, std::string_view kind,
                                                             std::size_t limit_bytes);

}  // namespace quorlin::input
