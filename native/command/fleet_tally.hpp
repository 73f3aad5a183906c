#pragma once
// The fleet's outcomes so far, counted: what the summary, the plugin line and
// the progress line are drawn from. Outcomes themselves are not kept.

#include "fleet/fleet_run.hpp"
#include "probe/outcome.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quorlin::command {

// Worst first, as the plugin convention ranks an aggregate: a real outage
// (CRITICAL) must not hide behind a target that could not be checked (UNKNOWN).
inline constexpr std::array<ServiceState, 3> alert_order = {ServiceState::critical, ServiceState::warning,
                                                            ServiceState::unknown};

struct FleetTally {
    // Names shown per state in the plugin line; beyond them, a count.
    static constexpr std::size_t named_per_state = 10;

    std::size_t total = 0;  // targets to probe
    std::size_t done = 0;
    std::array<std::size_t, 4> verdicts{};  // by Verdict
    std::size_t refused = 0;                // no report: the inputs were refused
    std::array<std::size_t, 4> states{};    // by ServiceState
    std::array<std::vector<std::string>, 4> named{};  // the first few targets in each state
    std::optional<Clock::duration> slowest_handshake;

    void add(const fleet::TargetOutcome& outcome, ServiceState state);
    ServiceState worst() const noexcept;
    std::size_t in_state(ServiceState state) const noexcept { return states[static_cast<std::size_t>(state)]; }
};

// "N targets", or "D of N targets" before the end.
std::string targets_text(const FleetTally& tally);

// "1 data_plane_confirmed, 0 authentication_confirmed, ..." best first, then
// the refused; `nonzero_only` leaves out the verdicts not reached.
void append_verdict_counts(std::string& out, const FleetTally& tally, bool nonzero_only);

}  // namespace quorlin::command
