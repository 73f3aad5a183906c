#pragma once
// The report as people read it: the verdict, the endpoint with its resolved
// address, the totals, then one row per phase in columns
//   PHASE  TARGET  STATUS  MS  SENT  RECEIVED  DETAIL
// two spaces apart, numbers aligned right. Texts from the configuration or the
// system are escaped (terminal_text.hpp); an absent text shows as "-". Last, a
// line per ping target when some got several echoes, "check: dns ..." for a
// DNS answer that does not pass (SERVFAIL, no A record), "threshold: ..." for
// each threshold that made the state worse, and the
// wait for the key's turn when there was one worth telling (key_turn_text.hpp).

#include "probe/assessment.hpp"

#include <string>

namespace quorlin::command {

std::string report_table(const ProbeReport& report, const Assessment& assessment);

}  // namespace quorlin::command
