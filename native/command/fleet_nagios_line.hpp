#pragma once
// `quorlin fleet --nagios`: one plugin line for the whole fleet at the end:
// the count of each state, the targets not OK, and as performance data the
// counts and the slowest handshake (left out when none passed). No ';' in the
// summary: Nagios would rewrite it.

#include "command/fleet_tally.hpp"

#include <string>
#include <string_view>

namespace quorlin::command {

// `stopped_by`: "interrupted" or "terminated" for a run stopped early, else empty.
std::string fleet_nagios_line(const FleetTally& tally, ServiceState state, const HandshakeThresholds& thresholds,
                              std::string_view stopped_by);

}  // namespace quorlin::command
