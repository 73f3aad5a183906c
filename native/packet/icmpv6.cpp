#include "packet/icmpv6.hpp"

#include "common/bytes.hpp"

#include <algorithm>
#include <array>

namespace quorlin {
namespace {

constexpr std::uint8_t packet_too_big_type = 2;
constexpr std::uint8_t echo_request_type = 128;
constexpr std::uint8_t echo_reply_type = 129;
constexpr std::size_t echo_header_bytes = 8;
// Type, code, checksum, MTU: the quoted packet follows.
constexpr std::size_t packet_too_big_header_bytes = 8;

std::vector<std::uint8_t> echo_request_packet(const Ipv6Octets& source, const Ipv6Octets& destination,
                                              std::vector<std::uint8_t> message, std::uint16_t identifier,
                                              std::uint16_t sequence) {
    message[0] = echo_request_type;
    write_be16(message, 4, identifier);
    write_be16(message, 6, sequence);
    write_be16(message, 2, pseudo_header_checksum(source, destination, ip_protocol_icmpv6, message));
    return ipv6_packet(source, destination, ip_protocol_icmpv6, message);
}

}  // namespace

std::vector<std::uint8_t> icmpv6_echo_request(const Ipv6Octets& source, const Ipv6Octets& destination,
                                              std::uint16_t identifier, std::uint16_t sequence) {
    std::vector<std::uint8_t> message{0, 0, 0, 0, 0, 0, 0, 0, 'q', 'u', 'o', 'r', 'l', 'i', 'n', '1'};
    return echo_request_packet(source, destination, std::move(message), identifier, sequence);
}

std::vector<std::uint8_t> icmpv6_sized_echo_request(const Ipv6Octets& source, const Ipv6Octets& destination,
                                                    std::uint16_t identifier, std::uint16_t sequence,
                                                    std::size_t total_bytes, std::uint8_t fill) {
    std::vector<std::uint8_t> message(total_bytes - ipv6_header_bytes);
    for (std::size_t i = echo_header_bytes; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(fill + i);
    return echo_request_packet(source, destination, std::move(message), identifier, sequence);
}

bool is_icmpv6_echo_reply(std::span<const std::uint8_t> packet, const Ipv6Octets& expected_source,
                          const Ipv6Octets& expected_destination, std::uint16_t identifier,
                          std::uint16_t sequence, std::span<const std::uint8_t> expected_request) noexcept {
    const auto ip = read_ipv6(packet);
    if (!ip || ip->next_header != ip_protocol_icmpv6) return false;
    if (ip->source != expected_source || ip->destination != expected_destination) return false;
    const std::span<const std::uint8_t> icmp = ip->payload;
    if (icmp.size() < echo_header_bytes) return false;
    if (icmp[0] != echo_reply_type || icmp[1] != 0) return false;
    if (pseudo_header_checksum(ip->source, ip->destination, ip_protocol_icmpv6, icmp) != 0) return false;
    if (read_be16(icmp, 4) != identifier || read_be16(icmp, 6) != sequence) return false;
    if (expected_request.empty()) return true;
    return std::ranges::equal(icmp.subspan(echo_header_bytes), expected_request.subspan(icmpv6_echo_overhead_bytes));
}

std::optional<std::uint32_t> icmpv6_packet_too_big_mtu(std::span<const std::uint8_t> packet,
                                                       const Ipv6Octets& client, const Ipv6Octets& target,
                                                       std::uint16_t identifier, std::uint16_t sequence) noexcept {
    const auto ip = read_ipv6(packet);
    if (!ip || ip->next_header != ip_protocol_icmpv6 || ip->destination != client) return std::nullopt;
    const std::span<const std::uint8_t> icmp = ip->payload;
    if (icmp.size() < packet_too_big_header_bytes + ipv6_header_bytes + echo_header_bytes) return std::nullopt;
    if (icmp[0] != packet_too_big_type || icmp[1] != 0) return std::nullopt;
    if (pseudo_header_checksum(ip->source, ip->destination, ip_protocol_icmpv6, icmp) != 0) return std::nullopt;

    // The quote: read field by field, since its own lengths describe the
    // packet as it was sent, not the part a router kept.
    const std::span<const std::uint8_t> quoted = icmp.subspan(packet_too_big_header_bytes);
    if ((quoted[0] >> 4) != 6 || quoted[6] != ip_protocol_icmpv6) return std::nullopt;
    if (!std::ranges::equal(quoted.subspan(8, 16), client) || !std::ranges::equal(quoted.subspan(24, 16), target)) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> echo = quoted.subspan(ipv6_header_bytes);
    if (echo[0] != echo_request_type || echo[1] != 0) return std::nullopt;
    if (read_be16(echo, 4) != identifier || read_be16(echo, 6) != sequence) return std::nullopt;
    return read_be32(icmp, 4);
}

}  // namespace quorlin
