#include "packet/ipv4.hpp"

#include "common/bytes.hpp"
#include "packet/checksum.hpp"

#include <algorithm>
#include <array>

namespace quorlin {

std::vector<std::uint8_t> ipv4_packet(const Ipv4Octets& source, const Ipv4Octets& destination,
                                      std::uint8_t protocol, std::uint16_t identification,
                                      std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> packet(ipv4_header_bytes + payload.size(), 0);
    const std::span<std::uint8_t> bytes(packet);
    bytes[0] = 0x45;
    write_be16(bytes, 2, static_cast<std::uint16_t>(packet.size() & 0xFFFF));
    write_be16(bytes, 4, identification);
    write_be16(bytes, 6, 0x4000);
    bytes[8] = 64;
    bytes[9] = protocol;
    std::copy(source.begin(), source.end(), packet.begin() + 12);
    std::copy(destination.begin(), destination.end(), packet.begin() + 16);
    std::copy(payload.begin(), payload.end(), packet.begin() + ipv4_header_bytes);
    write_be16(bytes, 10, internet_checksum(bytes.first(ipv4_header_bytes)));
    return packet;
}

std::uint16_t pseudo_header_checksum(const Ipv4Octets& source, const Ipv4Octets& destination, std::uint8_t protocol,
                                     std::span<const std::uint8_t> segment) noexcept {
    std::array<std::uint8_t, 12> pseudo_header{};
    std::copy(source.begin(), source.end(), pseudo_header.begin());
    std::copy(destination.begin(), destination.end(), pseudo_header.begin() + 4);
    pseudo_header[9] = protocol;
    write_be16(pseudo_header, 10, static_cast<std::uint16_t>(segment.size() & 0xFFFF));

    InternetChecksum checksum;
    checksum.add(pseudo_header);
    checksum.add(segment);
    return checksum.finish();
}

std::optional<Ipv4View> read_ipv4(std::span<const std::uint8_t> packet) noexcept {
    if (packet.size() < ipv4_header_bytes) return std::nullopt;
    if ((packet[0] >> 4) != 4) return std::nullopt;
    if ((packet[6] & 0x3F) != 0 || packet[7] != 0) return std::nullopt;
    const std::size_t total_length = read_be16(packet, 2);
    if (total_length > packet.size()) return std::nullopt;
    const std::size_t header_length = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    if (header_length < ipv4_header_bytes || header_length > total_length) return std::nullopt;
    // A correct header sums to 0xFFFF, so its checksum comes out as zero.
    if (internet_checksum(packet.first(header_length)) != 0) return std::nullopt;

    Ipv4View view;
    view.protocol = packet[9];
    std::copy_n(packet.begin() + 12, 4, view.source.begin());
    std::copy_n(packet.begin() + 16, 4, view.destination.begin());
    view.payload = packet.subspan(header_length, total_length - header_length);
    return view;
}

}  // namespace quorlin
