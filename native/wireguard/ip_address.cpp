#include "wireguard/ip_address.hpp"

#include <cstring>

namespace quorlin::wireguard {

IpAddress IpAddress::v4(std::span<const std::uint8_t, 4> octets) noexcept {
    IpAddress address;
    address.family = Family::V4;
    std::memcpy(address.bytes.data(), octets.data(), octets.size());
    return address;
}

IpAddress IpAddress::v6(std::span<const std::uint8_t, 16> octets) noexcept {
    IpAddress address;
    address.family = Family::V6;
    std::memcpy(address.bytes.data(), octets.data(), octets.size());
    return address;
}

IpAddress IpAddress::of(const SocketAddress& address) noexcept {
    if (const sockaddr_in* v4_address = address.ipv4()) {
        std::array<std::uint8_t, 4> octets;
        std::memcpy(octets.data(), &v4_address->sin_addr, octets.size());
        return v4(octets);
    }
    std::array<std::uint8_t, 16> octets;
    std::memcpy(octets.data(), &address.ipv6()->sin6_addr, octets.size());
    return v6(octets);
}

}  // namespace quorlin::wireguard
