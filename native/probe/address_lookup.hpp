#pragma once
// The blocking step of endpoint resolution: one getaddrinfo call for a host.

#include <string>

#include "probe/resolve.hpp"

namespace quorlin {

// The host's first address in the system's order, whatever its family, with
// port 0; no address when the lookup gives none; or the lookup's error. Asks
// getaddrinfo (any family, stream sockets), so the name service switch and
// the system's address ordering apply. Blocks for as long as the system
// resolver does.
ResolveOutcome lookup_first_address(const std::string& host);

// `address` with `port` in place of its own.
SocketAddress with_port(const SocketAddress& address, std::uint16_t port) noexcept;

}  // namespace quorlin
