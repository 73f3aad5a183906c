#include "packet/icmp.hpp"

#include "common/bytes.hpp"
#include "packet/checksum.hpp"

#include <algorithm>
#include <array>

namespace quorlin {
namespace {

constexpr std::uint8_t icmp_echo_reply_type = 0;
constexpr std::uint8_t icmp_echo_request_type = 8;
constexpr std::size_t icmp_echo_header_bytes = 8;

}  // namespace

std::vector<std::uint8_t> icmp_echo_request(const Ipv4Octets& source, const Ipv4Octets& destination,
                                            std::uint16_t ip_identification, std::uint16_t identifier,
                                            std::uint16_t sequence) {
    std::array<std::uint8_t, 16> message{icmp_echo_request_type, 0, 0, 0, 0, 0, 0, 0,
                                         'q', 'u', 'o', 'r', 'l', 'i', 'n', '1'};
    write_be16(message, 4, identifier);
    write_be16(message, 6, sequence);
    write_be16(message, 2, internet_checksum(message));
    return ipv4_packet(source, destination, ip_protocol_icmp, ip_identification, message);
}

std::vector<std::uint8_t> icmp_sized_echo_request(const Ipv4Octets& source, const Ipv4Octets& destination,
                                                  std::uint16_t ip_identification, std::uint16_t identifier,
                                                  std::uint16_t sequence, std::size_t total_bytes,
                                                  std::uint8_t fill) {
    std::vector<std::uint8_t> message(total_bytes - ipv4_header_bytes);
    message[0] = icmp_echo_request_type;
    write_be16(message, 4, identifier);
    write_be16(message, 6, sequence);
    for (std::size_t i = icmp_echo_header_bytes; i < message.size(); ++i) {
        message[i] = static_cast<std::uint8_t>(fill + i);
    }
    write_be16(message, 2, internet_checksum(message));
    return ipv4_packet(source, destination, ip_protocol_icmp, ip_identification, message);
}

bool is_icmp_echo_reply(std::span<const std::uint8_t> packet, const Ipv4Octets& expected_source,
                        const Ipv4Octets& expected_destination, std::uint16_t identifier,
                        std::uint16_t sequence, std::span<const std::uint8_t> expected_request) noexcept {
    const auto ip = read_ipv4(packet);
    if (!ip) return false;
    if (ip->protocol != ip_protocol_icmp) return false;
    if (ip->source != expected_source) return false;
    const std::span<const std::uint8_t> icmp = ip->payload;
    if (icmp.size() < icmp_echo_header_bytes) return false;
    if (ip->destination != expected_destination) return false;
    if (icmp[0] != icmp_echo_reply_type || icmp[1] != 0) return false;
    if (internet_checksum(icmp) != 0) return false;
    if (read_be16(icmp, 4) != identifier) return false;
    if (read_be16(icmp, 6) != sequence) return false;
    if (expected_request.empty()) return true;
    const auto request_payload = expected_request.subspan(icmp_echo_overhead_bytes);
    return std::ranges::equal(icmp.subspan(icmp_echo_header_bytes), request_payload);
}

}  // namespace quorlin
