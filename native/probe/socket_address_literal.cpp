#include "probe/socket_address_literal.hpp"

#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "config/ip_address.hpp"

namespace quorlin {

namespace {

// One or more decimal digits (leading zeros allowed) whose value fits `max`.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) noexcept {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) return std::nullopt;
    }
    return value;
}

std::optional<SocketAddress> ipv4_socket_address(std::string_view text) noexcept {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto address = parse_ipv4_address(text.substr(0, colon));
    const auto port = parse_port_number(text.substr(colon + 1));
    if (!address || !port) return std::nullopt;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(*port);
    std::ranges::copy(address->octets, reinterpret_cast<std::uint8_t*>(&v4.sin_addr));
    return SocketAddress(v4);
}

std::optional<SocketAddress> ipv6_socket_address(std::string_view text) noexcept {
    // "[" address ["%" scope] "]:" port
    const auto close = text.find(']');
    if (text.front() != '[' || close == std::string_view::npos) return std::nullopt;
    auto inside = text.substr(1, close - 1);
    const auto rest = text.substr(close + 1);
    if (!rest.starts_with(':')) return std::nullopt;
    const auto port = parse_port_number(rest.substr(1));
    if (!port) return std::nullopt;

    std::uint32_t scope_id = 0;
    if (const auto percent = inside.find('%'); percent != std::string_view::npos) {
        const auto scope = parse_decimal(inside.substr(percent + 1), std::numeric_limits<std::uint32_t>::max());
        if (!scope) return std::nullopt;
        scope_id = static_cast<std::uint32_t>(*scope);
        inside = inside.substr(0, percent);
    }
    const auto address = parse_ipv6_address(inside);
    if (!address) return std::nullopt;
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(*port);
    std::ranges::copy(address->octets, v6.sin6_addr.s6_addr);
    v6.sin6_scope_id = scope_id;
    return SocketAddress(v6);
}

}  // namespace

std::optional<std::uint16_t> parse_port_number(std::string_view text) noexcept {
    const auto value = parse_decimal(text, std::numeric_limits<std::uint16_t>::max());
    if (!value) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

std::optional<SocketAddress> parse_socket_address_literal(std::string_view text) noexcept {
    if (text.empty()) return std::nullopt;
    return text.front() == '[' ? ipv6_socket_address(text) : ipv4_socket_address(text);
}

}  // namespace quorlin
