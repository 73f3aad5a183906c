#pragma once
// Lets mutated packets past the IPv4 header checksum, so the fuzzer spends its
// time on the fields behind it.

#include "common/bytes.hpp"
#include "packet/checksum.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorlin::fuzz {

// Recomputes the header checksum when the header length fits the packet, and
// returns the payload up to the total length (empty when the layout does not
// allow one), for the caller to repair in turn.
inline std::span<std::uint8_t> repair_ipv4_header(std::vector<std::uint8_t>& packet) {
    if (packet.size() < 20) return {};
    const std::size_t header = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    if (header < 20 || header > packet.size()) return {};
    const std::span<std::uint8_t> bytes(packet);
    write_be16(bytes, 10, 0);
    write_be16(bytes, 10, internet_checksum(bytes.first(header)));
    const std::size_t total = std::min<std::size_t>(packet.size(), read_be16(bytes, 2));
    if (total < header) return {};
    return bytes.subspan(header, total - header);
}

}  // namespace quorlin::fuzz
