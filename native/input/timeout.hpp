#pragma once
// The four time limits arrive as signed 64-bit millisecond counts and must lie
// within 1 ms to 24 hours.

#include "common/clock.hpp"
#include "probe/plan.hpp"

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quorlin::input {

inline constexpr std::uint64_t max_timeout_ms = max_limit_ms;

// The limits a caller gets without asking, shared by the module and the command.
inline constexpr std::int64_t default_handshake_timeout_ms = 3000;
inline constexpr std::int64_t default_ping_timeout_ms = 1000;
inline constexpr std::int64_t default_dns_timeout_ms = 2000;
inline constexpr std::int64_t default_tcp_timeout_ms = static_cast<std::int64_t>(quorlin::default_tcp_timeout_ms);
inline constexpr std::int64_t default_deadline_ms = 9000;

// The duration of `value_ms` milliseconds, or the message
// "<name> must be an integer from 1 through 86400000". Negative values are
// read as unsigned, so they are refused as too large.
std::expected<Duration, std::string> timeout(std::int64_t value_ms, std::string_view name);

// The message for a timeout argument that is not an integer at all.
std::string timeout_conversion_message();

}  // namespace quorlin::input
