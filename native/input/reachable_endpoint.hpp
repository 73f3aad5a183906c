#pragma once
// The endpoint rule of the command and the fleet file: an endpoint that no
// datagram can reach (no host, port 0, a port beyond 65535, no port at all)
// is an input error, refused before any traffic. The Python module keeps its
// own contract: such a probe runs and reports the phase that failed, so this
// rule is not part of the plan's validation.

#include <optional>
#include <string>
#include <string_view>

namespace quorlin::input {

// Why `endpoint` (HOST:PORT, [IPV6]:PORT) cannot be reached, named `name` as
// the caller's input spells it ("--endpoint", "endpoint", "Peer Endpoint"),
// or nullopt when it may be.
std::optional<std::string> unreachable_endpoint(std::string_view endpoint, std::string_view name);

}  // namespace quorlin::input
