#pragma once
// Inner IPv6 packets (RFC 8200): the header builder shared by the ICMPv6,
// UDP and TCP packets, the upper-layer checksum over the IPv6 pseudo-header,
// and the header checks shared by their matchers.

#include "common/ipv6_octets.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorlin {

inline constexpr std::uint8_t ip_protocol_icmpv6 = 58;
inline constexpr std::size_t ipv6_header_bytes = 40;
// Every IPv6 link carries packets of this size (RFC 8200 section 5).
inline constexpr std::size_t ipv6_minimum_mtu = 1280;

// A 40-byte header (version 6, traffic class and flow label 0, hop limit 64)
// followed by `payload`, which must be at most 65535 bytes: no jumbograms,
// no extension headers.
std::vector<std::uint8_t> ipv6_packet(const Ipv6Octets& source, const Ipv6Octets& destination,
                                      std::uint8_t next_header, std::span<const std::uint8_t> payload);

// The checksum of an upper-layer message (ICMPv6, UDP, TCP) over the IPv6
// pseudo-header (source, destination, 32-bit length, three zero bytes, next
// header) followed by `message`, taken with whatever its checksum field
// holds: over a zeroed field it is the value to store, over a message
// carrying a correct checksum it is 0.
std::uint16_t pseudo_header_checksum(const Ipv6Octets& source, const Ipv6Octets& destination,
                                     std::uint8_t next_header, std::span<const std::uint8_t> message) noexcept;

// A received packet that passed the IPv6 header checks; `payload` spans the
// bytes after the header up to the payload length.
struct Ipv6View {
    std::uint8_t next_header = 0;
    Ipv6Octets source{};
    Ipv6Octets destination{};
    std::span<const std::uint8_t> payload;
};

// The header checks: at least 40 bytes, version 6, payload length within the
// bytes received (anything after it is ignored) and not zero (a jumbogram's
// marker). Extension headers are not walked: a packet whose next header is
// one of them is returned as such, and no matcher of ours accepts it, since
// none of our requests makes the peer add one.
std::optional<Ipv6View> read_ipv6(std::span<const std::uint8_t> packet) noexcept;

}  // namespace quorlin
