#pragma once
// ICMPv6 (RFC 4443) over inner IPv6: the echo request the ping check and the
// path-MTU search send, the matcher that recognises its reply, and the
// Packet Too Big message that tells the search a size was too large.

#include "packet/ipv6.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorlin {

inline constexpr std::size_t icmpv6_echo_request_bytes = 56;
// Bytes of IPv6 and ICMPv6 echo headers before an echo's payload.
inline constexpr std::size_t icmpv6_echo_overhead_bytes = 48;

// A 56-byte IPv6 packet (next header 58) carrying a 16-byte echo request
// with the payload "quorlin1".
std::vector<std::uint8_t> icmpv6_echo_request(const Ipv6Octets& source, const Ipv6Octets& destination,
                                              std::uint16_t identifier, std::uint16_t sequence);

// An IPv6 packet of exactly `total_bytes` (at least icmpv6_echo_overhead_bytes,
// at most 65535 + 40) carrying an echo request whose payload is `fill`
// repeated and varied by position, so that a reply cut short or altered
// anywhere shows.
std::vector<std::uint8_t> icmpv6_sized_echo_request(const Ipv6Octets& source, const Ipv6Octets& destination,
                                                    std::uint16_t identifier, std::uint16_t sequence,
                                                    std::size_t total_bytes, std::uint8_t fill);

// True only for a well-formed IPv6 ICMPv6 echo reply from `expected_source`
// to `expected_destination` with a correct checksum (over the pseudo-header)
// and the given identifier and sequence. When `expected_request` is given the
// reply's payload must be the request's, byte for byte.
bool is_icmpv6_echo_reply(std::span<const std::uint8_t> packet, const Ipv6Octets& expected_source,
                          const Ipv6Octets& expected_destination, std::uint16_t identifier,
                          std::uint16_t sequence, std::span<const std::uint8_t> expected_request = {}) noexcept;

// The MTU a Packet Too Big message reports, when `packet` is one addressed to
// `client` (from any router on the way) with a correct checksum, whose
// quoted packet is our echo request from `client` to `target` with this
// identifier and sequence. The quote may be cut short anywhere after the
// echo header. An MTU below 1280 is reported as it stands: the caller judges.
std::optional<std::uint32_t> icmpv6_packet_too_big_mtu(std::span<const std::uint8_t> packet,
                                                       const Ipv6Octets& client, const Ipv6Octets& target,
                                                       std::uint16_t identifier, std::uint16_t sequence) noexcept;

}  // namespace quorlin
