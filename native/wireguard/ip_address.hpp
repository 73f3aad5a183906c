#pragma once
// An IP address without a port: the source the tunnel is told a datagram came
// from, and the source address of a decrypted inner packet.

#include <array>
#include <cstdint>
#include <span>

#include "common/socket_address.hpp"

namespace quorlin::wireguard {

struct IpAddress {
    enum class Family : std::uint8_t { V4, V6 };

    Family family = Family::V4;
    std::array<std::uint8_t, 16> bytes{};  // an IPv4 address uses the first 4

    static IpAddress v4(std::span<const std::uint8_t, 4> octets) noexcept;
    static IpAddress v6(std::span<const std::uint8_t, 16> octets) noexcept;
    // The address of a socket address, its port dropped.
    static IpAddress of(const SocketAddress& address) noexcept;

    bool is_v4() const noexcept { return family == Family::V4; }
    // 4 or 16 bytes in network order.
    std::span<const std::uint8_t> octets() const noexcept {
        return std::span<const std::uint8_t>(bytes.data(), is_v4() ? 4 : 16);
    }

    friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

}  // namespace quorlin::wireguard
