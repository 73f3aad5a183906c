#pragma once
// Recognising the IP packet inside a decrypted transport message. Senders pad
// packets to a multiple of 16 bytes, so the IP header's own length says where
// the packet ends.

#include <cstdint>
#include <expected>
#include <span>

#include "wireguard/errors.hpp"
#include "wireguard/ip_address.hpp"

namespace quorlin::wireguard {

struct InnerPacket {
    std::span<std::uint8_t> bytes;  // trimmed to the IP total length
    IpAddress source;
};

// An IPv4 packet (version 4, header length at least 20 and within the total
// length) or an IPv6 packet (version 6, 40-byte header plus payload length),
// whose stated length fits in `plaintext`; anything else is InvalidPacket.
std::expected<InnerPacket, WireGuardError> read_inner_packet(std::span<std::uint8_t> plaintext) noexcept;

}  // namespace quorlin::wireguard
