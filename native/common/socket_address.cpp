#include "common/socket_address.hpp"

#include <arpa/inet.h>

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

std::string SocketAddress::to_text() const {
    char text[INET6_ADDRSTRLEN];
    if (const auto* v4 = ipv4()) {
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    const auto* v6 = ipv6();
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    std::string out = "[";
    out += text;
    if (v6->sin6_scope_id != 0) out += "%" + std::to_string(v6->sin6_scope_id);
    out += "]:" + std::to_string(ntohs(v6->sin6_port));
    return out;
}

}  // namespace quorlin
