#pragma once
// All instants come from the monotonic clock. Time limits arrive as whole
// milliseconds in a u64 and may exceed what the clock can add, so they are kept
// as a `Duration` (seconds + nanoseconds) and only become clock durations
// through `checked_add`.

#include <chrono>
#include <compare>
#include <cstdint>
#include <optional>

namespace quorlin {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;  // always below 1'000'000'000

    static constexpr Duration from_millis(std::uint64_t millis) noexcept {
        return Duration{millis / 1000, static_cast<std::uint32_t>(millis % 1000) * 1'000'000u};
    }
    // A clock duration; negative spans count as zero.
    static Duration from_clock(Clock::duration span) noexcept;

    constexpr bool is_zero() const noexcept { return secs == 0 && nanos == 0; }
    // Whole milliseconds, remainder dropped, saturating at 2^64 - 1.
    std::uint64_t as_millis() const noexcept;
    // The same span as a clock duration, if it fits.
    std::optional<Clock::duration> to_clock() const noexcept;

    friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

// start + span when the clock can represent it; "representable" means the
// addition does not overflow the clock's time_point.
std::optional<Instant> checked_add(Instant start, Duration span) noexcept;

// Time left until `deadline` (zero once it has passed).
Duration remaining_until(Instant deadline, Instant now) noexcept;

}  // namespace quorlin
