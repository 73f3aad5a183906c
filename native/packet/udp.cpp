#include "packet/udp.hpp"

namespace quorlin {

std::uint16_t udp_checksum(const Ipv4Octets& source, const Ipv4Octets& destination,
                           std::span<const std::uint8_t> segment) noexcept {
    return pseudo_header_checksum(source, destination, ip_protocol_udp, segment);
}

std::uint16_t udp_checksum(const Ipv6Octets& source, const Ipv6Octets& destination,
                           std::span<const std::uint8_t> segment) noexcept {
    return pseudo_header_checksum(source, destination, ip_protocol_udp, segment);
}

}  // namespace quorlin
