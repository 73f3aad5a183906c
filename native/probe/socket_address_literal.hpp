#pragma once
// Literal socket addresses: "a.b.c.d:port" and "[ipv6]:port" (optionally
// "[ipv6%scope]:port"), with nothing around them. These need no lookup.

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/socket_address.hpp"

namespace quorlin {

// The address the text spells exactly, or nullopt when it is anything else
// (a host name, whitespace, a bad port, an unbracketed IPv6 address, ...).
// The addresses follow the strict text forms of config/ip_address.hpp; the
// port is decimal 0 to 65535; the scope identifier is a decimal 32-bit number.
std::optional<SocketAddress> parse_socket_address_literal(std::string_view text) noexcept;

// One or more decimal digits (leading zeros allowed) whose value is 0 to 65535.
std::optional<std::uint16_t> parse_port_number(std::string_view text) noexcept;

}  // namespace quorlin
