#pragma once
// Careful reading of files that may hold key material: regular files only
// (never a link, directory, device, socket or pipe), size bounded before and
// while reading, contents kept in a SecretBuffer.

#include "input/secret_buffer.hpp"

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace quorlin::input {

// The whole file at `path` (a byte string as the system sees it), or the
// message naming `label`, the path and, where the system refused, its error.
std::expected<SecretBuffer, std::string> read_secret_file(const std::string& path, std::string_view label,
                                                          std::size_t limit_bytes);

}  // namespace quorlin::input
