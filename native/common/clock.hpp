#pragma once
// All instants come from the monotonic clock.

#include <chrono>
#include <cstdint>
#include <optional>

namespace quorlin {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

// start + span when the clock can represent it; "representable" means the
// addition does not overflow the clock's time_point. A negative span is refused.
std::optional<Instant> checked_add(Instant start, Clock::duration span) noexcept;

// start + millis milliseconds, with the same rule (any u64 count is accepted).
std::optional<Instant> checked_add_ms(Instant start, std::uint64_t millis) noexcept;

}  // namespace quorlin
