#pragma once
// Endpoint resolution under the probe's overall deadline.

#include <expected>
#include <optional>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/clock.hpp"
#include "common/socket_address.hpp"
#include "probe/report.hpp"

namespace quorlin {

// A failed resolution: the message, and the lookup code or system error
// number behind it where there is one.
struct ResolveError {
    std::string message;
    std::optional<FailureCause> cause;
};

// Exactly one of: an address; no address (the lookup succeeded but gave
// none, std::nullopt); or an error.
using ResolveOutcome = std::expected<std::optional<SocketAddress>, ResolveError>;

// Turns "a.b.c.d:port", "[ipv6]:port", "[ipv6%scope]:port" or "host:port"
// into one socket address. Literals are converted on the spot, and text that
// is neither is refused at once. A host name is looked up on a resolver
// worker (shared_lookups.hpp): callers that ask for the same host while its
// lookup is in flight share it, each with its own port; one that finds every
// worker busy waits for one. Either way the caller waits no longer than
// `remaining`, the time left before the overall deadline. Never throws; never
// blocks for longer than `remaining` plus the time it takes to start a thread.
ResolveOutcome resolve_endpoint(std::string endpoint, Duration remaining);

// The port of "host:port" as resolution reads it: decimal 0 to 65535 with an
// optional leading '+'; nothing else.
std::optional<std::uint16_t> parse_lookup_port(std::string_view text) noexcept;

}  // namespace quorlin
