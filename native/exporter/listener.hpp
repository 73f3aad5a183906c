#pragma once
// The server's listening socket, opened by us so that the address and port
// it got can be told before the HTTP server takes it over.

#include "common/owned_fd.hpp"
#include "common/socket_address.hpp"

#include <expected>
#include <string>

namespace quorlin::exporter {

// A listening socket, or errno; IPv6's unspecified address also takes IPv4 clients.
std::expected<OwnedFd, int> open_listener(const SocketAddress& where);

// The text form of the address the socket got, with its port: "127.0.0.1:9723", "[::1]:9723".
std::string bound_address(int fd);

}  // namespace quorlin::exporter
