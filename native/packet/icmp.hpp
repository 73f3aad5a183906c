#pragma once
// ICMP echo over inner IPv4: the request the ping check sends and the matcher
// that recognises its reply.

#include "packet/ipv4.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace quorlin {

inline constexpr std::size_t icmp_echo_request_bytes = 36;

// A 36-byte IPv4 packet (protocol 1) carrying a 16-byte echo request with the
// payload "quorlin1".
std::vector<std::uint8_t> icmp_echo_request(const Ipv4Octets& source, const Ipv4Octets& destination,
                                            std::uint16_t ip_identification, std::uint16_t identifier,
                                            std::uint16_t sequence);

// Bytes of IPv4 and ICMP echo headers before an echo's payload.
inline constexpr std::size_t icmp_echo_overhead_bytes = 28;

// An IPv4 packet of exactly `total_bytes` (at least icmp_echo_overhead_bytes,
// at most 65535) carrying an echo request whose payload is `fill` repeated
// and varied by position, so that a reply cut short or altered anywhere shows.
std::vector<std::uint8_t> icmp_sized_echo_request(const Ipv4Octets& source, const Ipv4Octets& destination,
                                                  std::uint16_t ip_identification, std::uint16_t identifier,
                                                  std::uint16_t sequence, std::size_t total_bytes,
                                                  std::uint8_t fill);

// True only for a well-formed, unfragmented IPv4 ICMP echo reply from
// `expected_source` to `expected_destination` with a correct checksum and the
// given identifier and sequence. The echo payload is not compared unless
// `expected_request` is given: then the reply's payload must be the
// request's, byte for byte.
bool is_icmp_echo_reply(std::span<const std::uint8_t> packet, const Ipv4Octets& expected_source,
                        const Ipv4Octets& expected_destination, std::uint16_t identifier,
                        std::uint16_t sequence,
                        std::span<const std::uint8_t> expected_request = {}) noexcept;

}  // namespace quorlin
