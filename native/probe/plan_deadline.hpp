#pragma once
// Whether a plan can finish within its overall deadline. The time limits are
// caps under the deadline (a handshake limit equal to the deadline is usual),
// so only what certainly cannot finish is refused: the echoes to the ping
// targets go out on the plan's own schedule, (count - 1) x interval per
// target one after the other, whatever the path answers. The refusal names
// the options in conflict and the deadline that would hold the plan's worst
// case: every step taking its whole limit.

#include "probe/plan.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorlin {

// The sizes the path MTU search tries at most before it knows the answer: the
// expected size, the least size, then a bisection of the 16-byte steps between.
std::uint32_t mtu_search_sizes(std::uint32_t expected_mtu) noexcept;

// The worst case in milliseconds (saturating): the handshake limit, per ping
// target (count - 1) x interval + the ping limit, each name's DNS limit, each TCP, TLS or HTTP check's limit, and
// per MTU search size the ping limit (the window of a size's tries is within it).
// `expected_mtu` is the size the MTU check expects when it is asked.
struct PlanWorstCase {
    std::uint64_t handshake_ms = 0;
    std::uint64_t echoes_ms = 0;
    std::uint64_t dns_ms = 0;
    std::uint64_t tcp_ms = 0;
    std::uint32_t mtu_sizes = 0;
    std::uint64_t mtu_search_ms = 0;

    std::uint64_t total_ms() const noexcept;
};
PlanWorstCase plan_worst_case(const ProbePlan& plan, std::uint32_t expected_mtu) noexcept;

// The refusal of a plan whose echoes alone outlast its deadline, or nothing.
// The plan must have passed validate() (its expected MTU is then known).
std::optional<std::string> deadline_refusal(const ProbePlan& plan, const PlanOptionNames& names = plan_keyword_names);

}  // namespace quorlin
