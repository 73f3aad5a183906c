#pragma once
// What `quorlin fleet` prints, piece by piece; fleet_printer.hpp decides when.
//   --json     one line per target as it finishes:
//              {"target":NAME,"labels":{...},"report":REPORT}, REPORT being the
//              report's own JSON unchanged; a target whose files no longer
//              pass when its probe is planned has "error":MESSAGE instead.
//   table      a header, one row per target as it finishes
//                TARGET  VERDICT  HANDSHAKE_MS  CHECKS  DETAIL
//              (checks passed of asked, the first failure), then a summary
//              line with the count of each verdict and the wall time.
//   --nagios   one plugin line for the whole fleet at the end: the count of
//              each state, the targets not OK, and as performance data the
//              counts and the slowest handshake.

#include "command/service_state.hpp"
#include "fleet/fleet_run.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quorlin::command {

// The outcomes so far, counted.
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
};

std::string fleet_json_line(const fleet::TargetOutcome& outcome);

std::string fleet_table_header(std::size_t name_width);
std::string fleet_table_row(const fleet::TargetOutcome& outcome, std::size_t name_width);
std::string fleet_summary_line(const FleetTally& tally, Clock::duration wall, bool interrupted);

std::string fleet_nagios_line(const FleetTally& tally, ServiceState state, const HandshakeThresholds& thresholds,
                              bool interrupted);

// The progress line's text: done of total, counts, rate and time left.
std::string fleet_progress_text(const FleetTally& tally, Clock::duration elapsed);

}  // namespace quorlin::command
