#pragma once
// `quorlin fleet --json`: one line per target as it finishes,
//   {"target":NAME,"labels":{...},"report":REPORT}
// REPORT being the report's own JSON unchanged; a target whose files no
// longer pass when its probe is planned has "error":MESSAGE instead.

#include "fleet/fleet_run.hpp"

#include <string>

namespace quorlin::command {

std::string fleet_json_line(const fleet::TargetOutcome& outcome);

}  // namespace quorlin::command
