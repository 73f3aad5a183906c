#pragma once
// Reading a fleet file. The whole file is checked before anything is probed:
// its TOML (fleet_toml.hpp), then each target's name (unique), its mode
// (a configuration file, or the raw-key fields, never both), and finally its
// inputs by exactly the single probe's rules and messages, reading the files
// it names. Each of those plans is dropped at once, its keys wiped: the fleet
// keeps no key material (fleet.hpp). The first refusal is the answer.

#include "fleet/fleet.hpp"
#include "fleet/fleet_refusal.hpp"

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace quorlin::fleet {

inline constexpr std::size_t fleet_file_limit_bytes = 16 * 1024 * 1024;

// The fleet `text` describes; relative paths in it are taken from
// `base_folder` (the working folder when empty). The fuzz target calls this
// with text alone.
std::expected<Fleet, FleetRefusal> read_fleet(std::string_view text, std::string_view base_folder);

// The fleet file at `path` (its links resolved, then the careful reader),
// relative paths taken from the folder `path` names. The refusal as one line
// "PATH:LINE:COLUMN: target "NAME": MESSAGE", or the reader's own message.
std::expected<Fleet, std::string> load_fleet_file(const std::string& path);

// The folder part of `path` as written: "" for a bare file name, "/" for a
// file in the root folder.
std::string folder_of(std::string_view path);

}  // namespace quorlin::fleet
