#pragma once
// The four time limits arrive as signed 64-bit millisecond counts and must lie
// within 1 ms to 24 hours.

#include "common/clock.hpp"

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quorlin::python {

inline constexpr std::uint64_t max_timeout_ms = 86'400'000;

// The duration of `value_ms` milliseconds, or the message
// "<name> must be an integer from 1 through 86400000". Negative values are
// read as unsigned, so they are refused as too large.
std::expected<Duration, std::string> timeout(std::int64_t value_ms, std::string_view name);

// The message for a timeout argument that is not an integer at all.
std::string timeout_conversion_message();

}  // namespace quorlin::python
