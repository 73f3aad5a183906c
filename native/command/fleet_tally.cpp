#include "command/fleet_tally.hpp"

#include "common/counted.hpp"

#include <algorithm>
#include <string_view>

namespace quorlin::command {

namespace {

constexpr std::string_view refused_verdict = "refused";

// Best first, as the summary lists them.
constexpr std::array<Verdict, 4> verdict_order = {Verdict::data_plane_confirmed, Verdict::authentication_confirmed,
                                                  Verdict::unconfirmed, Verdict::local_error};

std::size_t index_of(Verdict verdict) { return static_cast<std::size_t>(verdict); }
std::size_t index_of(ServiceState state) { return static_cast<std::size_t>(state); }

}  // namespace

void FleetTally::add(const fleet::TargetOutcome& outcome, ServiceState state) {
    ++done;
    if (outcome.report) {
        ++verdicts[index_of(outcome.report->verdict)];
        if (const PhaseResult* handshake = passed_handshake(*outcome.report)) {
            slowest_handshake = std::max(slowest_handshake.value_or(Clock::duration::zero()), measured_time(*handshake));
        }
    } else {
        ++refused;
    }
    ++states[index_of(state)];
    std::vector<std::string>& names = named[index_of(state)];
    if (state != ServiceState::ok && names.size() < named_per_state) names.push_back(outcome.target->name);
}

ServiceState FleetTally::worst() const noexcept {
    for (ServiceState state : alert_order) {
        if (in_state(state) > 0) return state;
    }
    return ServiceState::ok;
}

std::string targets_text(const FleetTally& tally) {
    if (tally.done == tally.total) return counted(tally.total, "target");
    return std::to_string(tally.done) + " of " + counted(tally.total, "target");
}

void append_verdict_counts(std::string& out, const FleetTally& tally, bool nonzero_only) {
    bool first = true;
    const auto append = [&](std::size_t count, std::string_view what) {
        if (nonzero_only && count == 0) return;
        out += first ? "" : ", ";
        first = false;
        out += std::to_string(count) + " ";
        out += what;
    };
    for (Verdict verdict : verdict_order) append(tally.verdicts[index_of(verdict)], verdict_text(verdict));
    if (tally.refused > 0) append(tally.refused, refused_verdict);
}

}  // namespace quorlin::command
