#pragma once
// An IPv6 address as its 16 octets in network order, compared as such: the
// configuration's IPv6 addresses and the inner IPv6 packets both carry it.

#include <array>
#include <cstdint>
#include <string>

namespace quorlin {

using Ipv6Octets = std::array<std::uint8_t, 16>;

// The RFC 5952 text form: lower case, leading zeros dropped, the longest run
// of two or more zero groups (the first of equal runs) written "::",
// e.g. "fd00:8::2".
std::string ipv6_text(const Ipv6Octets& address);

}  // namespace quorlin
