#pragma once
// The wait for the key's turn, as the table and the plugin output tell it:
//   waited 1.7 s for the turn of this key
// in tenths of a second (rounded down), and only from 0.1 s on: a shorter
// wait is the ordinary spacing after a probe of the same key that just ended
// (50 ms, a monitoring system's re-check after a state change), while 0.1 s
// and more means another probe's turn ran meanwhile. No apostrophe: Nagios
// strips it from output that reaches its macros.

#include "probe/report.hpp"

#include <optional>
#include <string>

namespace quorlin::command {

std::optional<std::string> key_turn_wait_note(const ProbeReport& report);

}  // namespace quorlin::command
