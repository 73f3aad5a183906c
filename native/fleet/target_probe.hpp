#pragma once
// One fleet target, planned and probed by the single probe's rules, from its
// files as they are at that moment (links followed: followed_path.hpp); an
// endpoint no datagram can reach is refused as the command refuses it.

#include "fleet/fleet.hpp"
#include "input/flows.hpp"
#include "probe/plan.hpp"
#include "probe/report.hpp"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

namespace quorlin::fleet {

// The plan of one probe of `target`. A cap lowers the overall deadline to
// `deadline_cap_ms` when that is smaller, and every other limit with it.
std::expected<ProbePlan, input::PlanRefusal> plan_target(const FleetTarget& target,
                                                         std::optional<std::uint64_t> deadline_cap_ms = std::nullopt);

// One fresh probe of `target` (its plan, keys and all, is released when it
// returns), or the refusal of its inputs as they are now: a file changed
// since the fleet was read.
std::expected<ProbeReport, std::string> probe_target(const FleetTarget& target,
                                                     std::optional<std::uint64_t> deadline_cap_ms = std::nullopt);

}  // namespace quorlin::fleet
