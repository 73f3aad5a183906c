#include "common/socket_address.hpp"

#include "common/ipv4_octets.hpp"

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

namespace quorlin {

std::optional<SocketAddress> SocketAddress::from_sockaddr(const sockaddr* address, socklen_t length) noexcept {
    if (address == nullptr) return std::nullopt;
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in v4;
        std::memcpy(&v4, address, sizeof v4);
        return SocketAddress(v4);
    }
    if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 v6;
        std::memcpy(&v6, address, sizeof v6);
        return SocketAddress(v6);
    }
    return std::nullopt;
}

const sockaddr* SocketAddress::as_sockaddr() const noexcept {
    if (const auto* v4 = ipv4()) return reinterpret_cast<const sockaddr*>(v4);
    return reinterpret_cast<const sockaddr*>(ipv6());
}

socklen_t SocketAddress::length() const noexcept {
    return is_ipv4() ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

namespace {

// The dotted text of 4 address bytes in network order.
std::string ipv4_text_at(const void* bytes) {
    Ipv4Octets octets;
    std::memcpy(octets.data(), bytes, octets.size());
    return ipv4_text(octets);
}

// The compressed text of an IPv6 address: lower-case hexadecimal groups without
// leading zeros, the first longest run of two or more zero groups written as
// "::", and an IPv4-mapped address (::ffff:0:0/96) as "::ffff:" plus the
// dotted IPv4 address. The deprecated IPv4-compatible form (::a.b.c.d) is not
// recognised: such an address is written in hexadecimal like any other.
std::string ipv6_text(const in6_addr& address) {
    const std::uint8_t* bytes = address.s6_addr;
    std::uint16_t groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = static_cast<std::uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);

    const bool mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 &&
                        groups[4] == 0 && groups[5] == 0xFFFF;
    if (mapped) return "::ffff:" + ipv4_text_at(bytes + 12);

    int run_start = -1, run_length = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > run_length) {
            run_start = i;
            run_length = j - i;
        }
        i = j;
    }
    if (run_length < 2) run_start = -1;

    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 8; ++i) {
        if (i == run_start) {
            out += "::";
            i += run_length - 1;
            continue;
        }
        if (!out.empty() && out.back() != ':') out += ':';
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const int digit = groups[i] >> shift & 0xF;
            if (digit != 0 || started || shift == 0) {
                out += kHex[digit];
                started = true;
            }
        }
    }
    return out;
}

}  // namespace

// Built by appending: GCC 12 at -O3 misreads `"[" + std::string` as an
// overlapping copy (-Wrestrict).
std::string SocketAddress::to_text() const {
    std::string out;
    if (const auto* v4 = ipv4()) {
        out += ipv4_text_at(&v4->sin_addr);
        out += ':';
        out += std::to_string(ntohs(v4->sin_port));
        return out;
    }
    const auto* v6 = ipv6();
    out += '[';
    out += ipv6_text(v6->sin6_addr);
    if (v6->sin6_scope_id != 0) {
        out += '%';
        out += std::to_string(v6->sin6_scope_id);
    }
    out += "]:";
    out += std::to_string(ntohs(v6->sin6_port));
    return out;
}

}  // namespace quorlin
