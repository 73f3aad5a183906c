#pragma once
// The fleet file's TOML, walked into tables of settings: the syntax, the
// tables a fleet file holds ([defaults] and [[target]]), known keys only (a
// typo is refused, not ignored), the type of each value and the label names.
// What the values mean is checked afterwards (fleet_file.hpp).

#include "fleet/fleet_refusal.hpp"
#include "fleet/settings.hpp"

#include <expected>
#include <string_view>

namespace quorlin::fleet {

std::expected<FleetDocument, FleetRefusal> parse_fleet_document(std::string_view text);

}  // namespace quorlin::fleet
