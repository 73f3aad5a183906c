#include "probe/ping_summary.hpp"

#include <algorithm>

namespace quorlin {

std::optional<double> PingSummary::loss_percent() const noexcept {
    if (sent == 0) return std::nullopt;
    return 100.0 * static_cast<double>(sent - received) / static_cast<double>(sent);
}

std::vector<PingSummary> ping_summaries(const ProbeReport& report) {
    std::vector<PingSummary> summaries;
    std::vector<Clock::duration> totals;
    for (const PhaseResult& phase : report.phases) {
        if (phase.phase != phase_name::ping || !phase.target) continue;
        auto found = std::ranges::find(summaries, *phase.target, &PingSummary::target);
        if (found == summaries.end()) {
            found = summaries.insert(summaries.end(), PingSummary{*phase.target});
            totals.emplace_back();
        }
        // A skipped echo, or one the deadline kept from going out, was never sent.
        if (phase.status == PhaseStatus::skipped || phase.sent_bytes == 0) continue;
        ++found->sent;
        if (phase.status != PhaseStatus::passed) continue;
        ++found->received;
        Clock::duration& total = totals[static_cast<std::size_t>(found - summaries.begin())];
        const Clock::duration round_trip = measured_time(phase);
        total += round_trip;
        found->rtt_min = std::min(found->rtt_min.value_or(round_trip), round_trip);
        found->rtt_max = std::max(found->rtt_max.value_or(round_trip), round_trip);
        found->rtt_avg = total / static_cast<Clock::rep>(found->received);
    }
    return summaries;
}

const PhaseResult* path_mtu_phase(const ProbeReport& report) noexcept {
    const auto found = std::ranges::find(report.phases, phase_name::path_mtu, &PhaseResult::phase);
    return found == report.phases.end() ? nullptr : &*found;
}

}  // namespace quorlin
