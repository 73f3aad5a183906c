#pragma once

#include "packet/ipv4.hpp"
#include "packet/ipv6.hpp"

#include <cstdint>
#include <span>

namespace quorlin {

inline constexpr std::size_t udp_header_bytes = 8;

// The UDP checksum over the pseudo-header (source, destination, zero,
// protocol 17, segment length modulo 65536) followed by `segment`, taken with
// whatever its checksum field holds: over a zeroed field it is the value to
// store, over a segment carrying a correct checksum it is 0.
std::uint16_t udp_checksum(const Ipv4Octets& source, const Ipv4Octets& destination,
                           std::span<const std::uint8_t> segment) noexcept;
// The same over the IPv6 pseudo-header (next header 17).
std::uint16_t udp_checksum(const Ipv6Octets& source, const Ipv6Octets& destination,
                           std::span<const std::uint8_t> segment) noexcept;

}  // namespace quorlin
