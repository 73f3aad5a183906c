#pragma once
// Ping thresholds as the standard ping check writes them: "RTA_MS,LOSS%",
// for example "100,20%" (round trip average in milliseconds, loss in percent).

#include "probe/outcome.hpp"

#include <expected>
#include <string>
#include <string_view>

namespace quorlin::input {

// The limit, or "<name> must be RTA_MS,LOSS% (for example 100,20%), got <text>".
std::expected<PingLimit, std::string> parse_ping_limit(std::string_view text, std::string_view name);

}  // namespace quorlin::input
