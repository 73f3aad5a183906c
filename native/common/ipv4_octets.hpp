#pragma once
// An IPv4 address as its 4 octets in network order (octets[0] is written
// first), compared as such. The configuration's addresses and the inner
// packets both carry it.

#include <array>
#include <cstdint>
#include <string>

namespace quorlin {

using Ipv4Octets = std::array<std::uint8_t, 4>;

// Dotted decimal, e.g. "192.0.2.1".
std::string ipv4_text(const Ipv4Octets& address);

}  // namespace quorlin
