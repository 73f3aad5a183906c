#pragma once
// TCP segments over inner IPv4: the segments the TCP check sends and the
// parser for what comes back. Only what a short client connection needs:
// the MSS option on a SYN; every other option received is skipped.

#include "packet/ipv4.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorlin {

inline constexpr std::size_t tcp_header_bytes = 20;

namespace tcp_flag {
inline constexpr std::uint8_t fin = 0x01;
inline constexpr std::uint8_t syn = 0x02;
inline constexpr std::uint8_t rst = 0x04;
inline constexpr std::uint8_t psh = 0x08;
inline constexpr std::uint8_t ack = 0x10;
}  // namespace tcp_flag

// One segment's header fields, as sent or as received.
struct TcpHeader {
    std::uint16_t source_port = 0;
    std::uint16_t destination_port = 0;
    std::uint32_t sequence = 0;
    std::uint32_t acknowledgment = 0;
    std::uint8_t flags = 0;
    std::uint16_t window = 0;
    std::optional<std::uint16_t> mss;  // the MSS option

    bool has(std::uint8_t flag) const noexcept { return (flags & flag) == flag; }
};

// An IPv4 packet (protocol 6) carrying `header` (with its MSS option when
// set, padded to a 4-byte boundary) and `payload`, checksums filled in.
std::vector<std::uint8_t> tcp_packet(const Ipv4Octets& source, const Ipv4Octets& destination,
                                     std::uint16_t ip_identification, const TcpHeader& header,
                                     std::span<const std::uint8_t> payload = {});

struct TcpSegmentView {
    TcpHeader header;
    std::span<const std::uint8_t> payload;
};

// A well-formed segment from `expected_source` to `expected_destination`:
// an unfragmented IPv4 packet of protocol 6, a data offset within the
// segment, a correct checksum. Options are read defensively: a malformed
// option list is refused, an unknown option skipped, the MSS option read
// only at its exact length.
std::optional<TcpSegmentView> read_tcp(std::span<const std::uint8_t> packet, const Ipv4Octets& expected_source,
                                       const Ipv4Octets& expected_destination) noexcept;

}  // namespace quorlin
