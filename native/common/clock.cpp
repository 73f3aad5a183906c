#include "common/clock.hpp"

namespace quorlin {

std::optional<Instant> checked_add(Instant start, Clock::duration span) noexcept {
    if (span < Clock::duration::zero()) return std::nullopt;
    if (start.time_since_epoch() > Clock::duration::max() - span) return std::nullopt;
    return start + span;
}

std::optional<Instant> checked_add_ms(Instant start, std::uint64_t millis) noexcept {
    using Millis = std::chrono::milliseconds;
    const auto max_millis = std::chrono::duration_cast<Millis>(Clock::duration::max()).count();
    if (millis > static_cast<std::uint64_t>(max_millis)) return std::nullopt;
    return checked_add(start, std::chrono::duration_cast<Clock::duration>(Millis(static_cast<Millis::rep>(millis))));
}

}  // namespace quorlin
