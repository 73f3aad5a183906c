#pragma once
// `quorlin fleet --nagios`: one plugin line for the whole fleet at the end:
// the count of each state, the targets not OK, and as performance data the
// counts and the slowest handshake.

#include "command/fleet_tally.hpp"

#include <string>

namespace quorlin::command {

std::string fleet_nagios_line(const FleetTally& tally, ServiceState state, const HandshakeThresholds& thresholds,
                              bool interrupted);

}  // namespace quorlin::command
