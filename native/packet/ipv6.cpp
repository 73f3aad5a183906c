#include "packet/ipv6.hpp"

#include "common/bytes.hpp"
#include "packet/checksum.hpp"

#include <algorithm>
#include <array>

namespace quorlin {

std::vector<std::uint8_t> ipv6_packet(const Ipv6Octets& source, const Ipv6Octets& destination,
                                      std::uint8_t next_header, std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> packet(ipv6_header_bytes + payload.size(), 0);
    const std::span<std::uint8_t> bytes(packet);
    bytes[0] = 0x60;
    write_be16(bytes, 4, static_cast<std::uint16_t>(payload.size()));
    bytes[6] = next_header;
    bytes[7] = 64;
    std::ranges::copy(source, packet.begin() + 8);
    std::ranges::copy(destination, packet.begin() + 24);
    std::ranges::copy(payload, packet.begin() + ipv6_header_bytes);
    return packet;
}

std::uint16_t pseudo_header_checksum(const Ipv6Octets& source, const Ipv6Octets& destination,
                                     std::uint8_t next_header, std::span<const std::uint8_t> message) noexcept {
    std::array<std::uint8_t, 40> pseudo_header{};
    std::ranges::copy(source, pseudo_header.begin());
    std::ranges::copy(destination, pseudo_header.begin() + 16);
    write_be32(pseudo_header, 32, static_cast<std::uint32_t>(message.size()));
    pseudo_header[39] = next_header;

    InternetChecksum checksum;
    checksum.add(pseudo_header);
    checksum.add(message);
    return checksum.finish();
}

std::optional<Ipv6View> read_ipv6(std::span<const std::uint8_t> packet) noexcept {
    if (packet.size() < ipv6_header_bytes) return std::nullopt;
    if ((packet[0] >> 4) != 6) return std::nullopt;
    const std::size_t payload_length = read_be16(packet, 4);
    if (payload_length == 0 || payload_length > packet.size() - ipv6_header_bytes) return std::nullopt;

    Ipv6View view;
    view.next_header = packet[6];
    std::copy_n(packet.begin() + 8, 16, view.source.begin());
    std::copy_n(packet.begin() + 24, 16, view.destination.begin());
    view.payload = packet.subspan(ipv6_header_bytes, payload_length);
    return view;
}

}  // namespace quorlin
