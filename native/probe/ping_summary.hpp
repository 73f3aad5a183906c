#pragma once
// Loss and round trips per ping target, from a report's ping phases: what the
// table, the plugin line and the metrics show beside the phases themselves.

#include "probe/report.hpp"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quorlin {

struct PingSummary {
    std::string target;
    std::size_t sent = 0;      // echoes that went out (not skipped, not refused by the deadline)
    std::size_t received = 0;  // echoes answered in time
    // Round trips of the answered echoes; absent when none was.
    std::optional<Clock::duration> rtt_min;
    std::optional<Clock::duration> rtt_avg;
    std::optional<Clock::duration> rtt_max;

    // Lost echoes as a share of those sent, 0 to 100; absent when none was sent.
    std::optional<double> loss_percent() const noexcept;
};

// One summary per ping target, in the order the targets first appear.
std::vector<PingSummary> ping_summaries(const ProbeReport& report);

// The path MTU phase, when the report has one.
const PhaseResult* path_mtu_phase(const ProbeReport& report) noexcept;

}  // namespace quorlin
