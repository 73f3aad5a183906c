#include "command/fleet_progress.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace quorlin::command {

std::string fleet_progress_text(const FleetTally& tally, Clock::duration elapsed) {
    std::string out = std::to_string(tally.done) + " of " + std::to_string(tally.total) + " done";
    if (tally.done == 0) return out;
    out += ": ";
    append_verdict_counts(out, tally, true);
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (seconds <= 0) return out;
    const double rate = static_cast<double>(tally.done) / seconds;
    char figures[96];
    const int length = std::snprintf(figures, sizeof figures, "; %.1f/s, about %.0f s left", rate,
                                     std::ceil(static_cast<double>(tally.total - tally.done) / rate));
    out.append(figures, static_cast<std::size_t>(length));
    return out;
}

}  // namespace quorlin::command
