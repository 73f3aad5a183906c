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
// the path and, where the system refused, its error. Messages name the file
// `shown` when given: the path as the user gave it, where `path` is that path
// with its links resolved.
std::expected<SecretBuffer, std::string> read_file_carefully(const std::string& path, std::string_view kind,
                                                             std::size_t limit_bytes, std::string_view shown = {});

}  // namespace quorlin::input
