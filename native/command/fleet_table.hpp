#pragma once
// `quorlin fleet` as people read it: a header, one row per target as it
// finishes
//   TARGET  VERDICT  HANDSHAKE_MS  CHECKS  DETAIL
// (checks passed of asked, the first failure), then a summary line with the
// count of each verdict and the wall time.

#include "command/fleet_tally.hpp"
#include "fleet/fleet_run.hpp"

#include <cstddef>
#include <string>

namespace quorlin::command {

std::string fleet_table_header(std::size_t name_width);
std::string fleet_table_row(const fleet::TargetOutcome& outcome, std::size_t name_width);
std::string fleet_summary_line(const FleetTally& tally, Clock::duration wall, bool interrupted);

}  // namespace quorlin::command
