#include "wireguard/inner_packet.hpp"

#include "common/bytes.hpp"

namespace quorlin::wireguard {

namespace {

constexpr std::size_t ipv4_min_header_bytes = 20;
constexpr std::size_t ipv4_total_length_offset = 2;
constexpr std::size_t ipv4_source_offset = 12;
constexpr std::size_t ipv6_header_bytes = 40;
constexpr std::size_t ipv6_payload_length_offset = 4;
constexpr std::size_t ipv6_source_offset = 8;

}  // namespace

std::expected<InnerPacket, WireGuardError> read_inner_packet(std::span<std::uint8_t> plaintext) noexcept {
    if (plaintext.empty()) return std::unexpected(WireGuardError::InvalidPacket);
    switch (plaintext[0] >> 4) {
        case 4: {
            if (plaintext.size() < ipv4_min_header_bytes) break;
            const std::size_t header_bytes = static_cast<std::size_t>(plaintext[0] & 0x0f) * 4;
            const std::size_t total_bytes = read_be16(plaintext, ipv4_total_length_offset);
            if (header_bytes < ipv4_min_header_bytes || total_bytes < header_bytes || total_bytes > plaintext.size()) {
                break;
            }
            return InnerPacket{plaintext.first(total_bytes),
                               IpAddress::v4(plaintext.subspan(ipv4_source_offset).first<4>())};
        }
        case 6: {
            if (plaintext.size() < ipv6_header_bytes) break;
            const std::size_t total_bytes = ipv6_header_bytes + read_be16(plaintext, ipv6_payload_length_offset);
            if (total_bytes > plaintext.size()) break;
            return InnerPacket{plaintext.first(total_bytes),
                               IpAddress::v6(plaintext.subspan(ipv6_source_offset).first<16>())};
        }
        default:
            break;
    }
    return std::unexpected(WireGuardError::InvalidPacket);
}

}  // namespace quorlin::wireguard
