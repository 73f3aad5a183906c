#include "common/clock.hpp"

#include <limits>

namespace quorlin {

namespace {
constexpr std::uint64_t kNanosPerSec = 1'000'000'000;
}

Duration Duration::from_clock(Clock::duration span) noexcept {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
    if (ns <= 0) return Duration{};
    const auto n = static_cast<std::uint64_t>(ns);
    return Duration{n / kNanosPerSec, static_cast<std::uint32_t>(n % kNanosPerSec)};
}

std::uint64_t Duration::as_millis() const noexcept {
    const unsigned __int128 total =
        static_cast<unsigned __int128>(secs) * 1000 + nanos / 1'000'000u;
    const auto max = std::numeric_limits<std::uint64_t>::max();
    return total > max ? max : static_cast<std::uint64_t>(total);
}

std::optional<Clock::duration> Duration::to_clock() const noexcept {
    static_assert(std::is_same_v<Clock::duration, std::chrono::nanoseconds>);
    const auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (secs > (max - nanos) / kNanosPerSec) return std::nullopt;
    return Clock::duration(static_cast<std::int64_t>(secs * kNanosPerSec + nanos));
}

std::optional<Instant> checked_add(Instant start, Duration span) noexcept {
    const auto delta = span.to_clock();
    if (!delta) return std::nullopt;
    if (start.time_since_epoch() > Clock::duration::max() - *delta) return std::nullopt;
    return start + *delta;
}

Duration remaining_until(Instant deadline, Instant now) noexcept {
    return deadline > now ? Duration::from_clock(deadline - now) : Duration{};
}

}  // namespace quorlin
