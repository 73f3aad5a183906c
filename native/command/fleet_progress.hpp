#pragma once
// The progress line `quorlin fleet` keeps on a terminal's stderr: done of
// total, the verdicts so far, the rate and the time left.

#include "command/fleet_tally.hpp"

#include <string>

namespace quorlin::command {

std::string fleet_progress_text(const FleetTally& tally, Clock::duration elapsed);

}  // namespace quorlin::command
