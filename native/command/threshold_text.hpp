#pragma once
// Why thresholds made a probe's state worse than its phases alone: a run
// whose phases all passed can still end WARNING or CRITICAL, and the reader
// is told which threshold did it:
//   "handshake 3.123 ms above the critical threshold of 0 ms"
//   "ping 10.0.0.1 round trip average 12.345 ms reaches the warning threshold of 10 ms"
//   "ping 10.0.0.1 loss 30% reaches the critical threshold of 20%"

#include "probe/outcome.hpp"

#include <string>
#include <vector>

namespace quorlin::command {

// The handshake's note, empty when no threshold was passed.
std::string handshake_threshold_note(const ProbeReport& report, const HandshakeThresholds& thresholds);

// One note per ping target that reaches the level ping_state gives, targets
// shown as on a terminal.
std::vector<std::string> ping_threshold_notes(const ProbeReport& report, const PingThresholds& thresholds);

// Both, handshake first.
std::vector<std::string> threshold_notes(const ProbeReport& report, const HandshakeThresholds& thresholds,
                                         const PingThresholds& ping_thresholds);

}  // namespace quorlin::command
