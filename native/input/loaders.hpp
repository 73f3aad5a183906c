#pragma once
// The two input files, read through read_file_carefully and turned into a probe
// configuration. They touch no Python object, so the flows call them with the
// interpreter lock released. Failures are the exact message texts.

#include "config/probe_config.hpp"

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace quorlin::input {

inline constexpr std::size_t config_file_limit_bytes = 1'048'576;
inline constexpr std::size_t key_file_limit_bytes = 4096;

// A WireGuard configuration file, parsed. `shown` names the file in messages
// when `path` is not the path as the user gave it (read_file_carefully).
std::expected<ProbeConfig, std::string> load_config_file(const std::string& path, std::string_view shown = {});

// A file holding one Base64 private key, combined with the caller's peer key
// and endpoint (moved into the record).
std::expected<ProbeConfig, std::string> load_key_file(const std::string& path, std::string_view peer_key,
                                                      std::string endpoint, std::string_view shown = {});

}  // namespace quorlin::input
