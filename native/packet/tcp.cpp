#include "packet/tcp.hpp"

#include "common/bytes.hpp"

#include <algorithm>

namespace quorlin {

namespace {

constexpr std::uint8_t option_end = 0;
constexpr std::uint8_t option_no_operation = 1;
constexpr std::uint8_t option_mss = 2;
constexpr std::size_t mss_option_bytes = 4;

// The options after the fixed header: nullopt when the list is malformed
// (a length below 2 or past the header), else the MSS if one is given.
std::optional<std::optional<std::uint16_t>> read_options(std::span<const std::uint8_t> options) noexcept {
    std::optional<std::uint16_t> mss;
    std::size_t at = 0;
    while (at < options.size()) {
        const std::uint8_t kind = options[at];
        if (kind == option_end) break;
        if (kind == option_no_operation) {
            ++at;
            continue;
        }
        if (at + 1 >= options.size()) return std::nullopt;
        const std::size_t length = options[at + 1];
        if (length < 2 || length > options.size() - at) return std::nullopt;
        if (kind == option_mss && length == mss_option_bytes) mss = read_be16(options, at + 2);
        at += length;
    }
    return mss;
}

}  // namespace

std::vector<std::uint8_t> tcp_packet(const Ipv4Octets& source, const Ipv4Octets& destination,
                                     std::uint16_t ip_identification, const TcpHeader& header,
                                     std::span<const std::uint8_t> payload) {
    const std::size_t header_bytes = tcp_header_bytes + (header.mss ? mss_option_bytes : 0);
    std::vector<std::uint8_t> segment(header_bytes + payload.size(), 0);
    const std::span<std::uint8_t> bytes(segment);
    write_be16(bytes, 0, header.source_port);
    write_be16(bytes, 2, header.destination_port);
    write_be32(bytes, 4, header.sequence);
    write_be32(bytes, 8, header.acknowledgment);
    bytes[12] = static_cast<std::uint8_t>((header_bytes / 4) << 4);
    bytes[13] = header.flags;
    write_be16(bytes, 14, header.window);
    if (header.mss) {
        bytes[20] = option_mss;
        bytes[21] = mss_option_bytes;
        write_be16(bytes, 22, *header.mss);
    }
    std::copy(payload.begin(), payload.end(), segment.begin() + static_cast<std::ptrdiff_t>(header_bytes));
    write_be16(bytes, 16, pseudo_header_checksum(source, destination, ip_protocol_tcp, segment));
    return ipv4_packet(source, destination, ip_protocol_tcp, ip_identification, segment);
}

std::optional<TcpSegmentView> read_tcp(std::span<const std::uint8_t> packet, const Ipv4Octets& expected_source,
                                       const Ipv4Octets& expected_destination) noexcept {
    const auto ip = read_ipv4(packet);
    if (!ip || ip->protocol != ip_protocol_tcp) return std::nullopt;
    if (ip->source != expected_source || ip->destination != expected_destination) return std::nullopt;
    const std::span<const std::uint8_t> segment = ip->payload;
    if (segment.size() < tcp_header_bytes) return std::nullopt;
    const std::size_t header_bytes = static_cast<std::size_t>(segment[12] >> 4) * 4;
    if (header_bytes < tcp_header_bytes || header_bytes > segment.size()) return std::nullopt;
    if (pseudo_header_checksum(ip->source, ip->destination, ip_protocol_tcp, segment) != 0) return std::nullopt;
    const auto mss = read_options(segment.subspan(tcp_header_bytes, header_bytes - tcp_header_bytes));
    if (!mss) return std::nullopt;

    TcpSegmentView view;
    view.header.source_port = read_be16(segment, 0);
    view.header.destination_port = read_be16(segment, 2);
    view.header.sequence = read_be32(segment, 4);
    view.header.acknowledgment = read_be32(segment, 8);
    view.header.flags = segment[13];
    view.header.window = read_be16(segment, 14);
    view.header.mss = *mss;
    view.payload = segment.subspan(header_bytes);
    return view;
}

}  // namespace quorlin
