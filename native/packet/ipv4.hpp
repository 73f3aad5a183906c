#pragma once
// Inner IPv4 packets: the header builder shared by the ICMP and DNS packets,
// and the header checks shared by their matchers.

#include "common/ipv4_octets.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorlin {

inline constexpr std::uint8_t ip_protocol_icmp = 1;
inline constexpr std::uint8_t ip_protocol_tcp = 6;
inline constexpr std::uint8_t ip_protocol_udp = 17;
inline constexpr std::size_t ipv4_header_bytes = 20;

// A 20-byte header (version 4, no options, don't-fragment, TTL 64, checksum
// filled in) followed by `payload`. The total length field is written modulo
// 65536.
std::vector<std::uint8_t> ipv4_packet(const Ipv4Octets& source, const Ipv4Octets& destination,
                                      std::uint8_t protocol, std::uint16_t identification,
                                      std::span<const std::uint8_t> payload);

// The checksum of a UDP or TCP segment over the pseudo-header (source,
// destination, zero, protocol, segment length modulo 65536) followed by
// `segment`, taken with whatever its checksum field holds: over a zeroed field
// it is the value to store, over a segment carrying a correct checksum it is 0.
std::uint16_t pseudo_header_checksum(const Ipv4Octets& source, const Ipv4Octets& destination, std::uint8_t protocol,
                                     std::span<const std::uint8_t> segment) noexcept;

// A received packet that passed the IPv4 header checks; `payload` spans the
// bytes from the end of the header to the total length.
struct Ipv4View {
    std::uint8_t protocol = 0;
    Ipv4Octets source{};
    Ipv4Octets destination{};
    std::span<const std::uint8_t> payload;
};

// The header checks, in order: at least 20 bytes, version 4, not a fragment
// (more-fragments flag and offset zero; DF and the reserved bit are ignored),
// total length within the bytes received (anything after it is ignored),
// header length at least 20 and within the total length (options skipped),
// header checksum correct. Anything failing gives nullopt.
std::optional<Ipv4View> read_ipv4(std::span<const std::uint8_t> packet) noexcept;

}  // namespace quorlin
