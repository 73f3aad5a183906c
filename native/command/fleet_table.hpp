#pragma once
// `quorlin fleet` as people read it: a header, one row per target as it
// finishes
//   TARGET  VERDICT  HANDSHAKE_MS  CHECKS  DETAIL
// (checks passed of asked, the first failure, else the thresholds reached and
// the checks that failed all the same), then a summary line with the count of each verdict and
// the wall time.

#include "command/fleet_tally.hpp"
#include "fleet/fleet_run.hpp"
#include "probe/assessment.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace quorlin::command {

std::string fleet_table_header(std::size_t name_width);
// `assessment`: the report's, null for a target refused before it ran.
std::string fleet_table_row(const fleet::TargetOutcome& outcome, std::size_t name_width,
                            const Assessment* assessment);
// `stopped_by`: "interrupted" or "terminated" for a run stopped early, else empty.
std::string fleet_summary_line(const FleetTally& tally, Clock::duration wall, std::string_view stopped_by);

}  // namespace quorlin::command
