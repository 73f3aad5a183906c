#include "probe/socket_address_literal.hpp"

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <limits>

namespace quorlin {

namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool is_hex_digit(char c) noexcept {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// One or more decimal digits (leading zeros allowed) whose value fits `max`.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) noexcept {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) return std::nullopt;
    }
    return value;
}

std::optional<std::uint16_t> parse_port(std::string_view text) noexcept {
    const auto value = parse_decimal(text, std::numeric_limits<std::uint16_t>::max());
    if (!value) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

// inet_pton reads a NUL-terminated string, so the address is copied into a
// bounded buffer first; the character checks keep stray NULs and anything
// inet_pton would tolerate beyond the strict text forms out.
template <typename Address>
bool convert_address(int family, std::string_view text, Address* out) noexcept {
    char buffer[INET6_ADDRSTRLEN];
    if (text.empty() || text.size() >= sizeof buffer) return false;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return inet_pton(family, buffer, out) == 1;
}

std::optional<SocketAddress> parse_ipv4(std::string_view text) noexcept {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto host = text.substr(0, colon);
    for (const char c : host) {
        if (!is_digit(c) && c != '.') return std::nullopt;
    }
    // inet_pton refuses leading zeros, which some readers take as octal.
    sockaddr_in v4{};
    if (!convert_address(AF_INET, host, &v4.sin_addr)) return std::nullopt;
    const auto port = parse_port(text.substr(colon + 1));
    if (!port) return std::nullopt;
    v4.sin_family = AF_INET;
    v4.sin_port = htons(*port);
    return SocketAddress(v4);
}

std::optional<SocketAddress> parse_ipv6(std::string_view text) noexcept {
    // "[" address ["%" scope] "]:" port
    const auto close = text.find(']');
    if (text.front() != '[' || close == std::string_view::npos) return std::nullopt;
    auto inside = text.substr(1, close - 1);
    const auto rest = text.substr(close + 1);
    if (rest.size() < 2 || rest.front() != ':') return std::nullopt;
    const auto port = parse_port(rest.substr(1));
    if (!port) return std::nullopt;

    std::uint32_t scope_id = 0;
    if (const auto percent = inside.find('%'); percent != std::string_view::npos) {
        const auto scope = parse_decimal(inside.substr(percent + 1), std::numeric_limits<std::uint32_t>::max());
        if (!scope) return std::nullopt;
        scope_id = static_cast<std::uint32_t>(*scope);
        inside = inside.substr(0, percent);
    }
    for (const char c : inside) {
        if (!is_hex_digit(c) && c != ':' && c != '.') return std::nullopt;
    }
    sockaddr_in6 v6{};
    if (!convert_address(AF_INET6, inside, &v6.sin6_addr)) return std::nullopt;
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(*port);
    v6.sin6_flowinfo = 0;
    v6.sin6_scope_id = scope_id;
    return SocketAddress(v6);
}

}  // namespace

std::optional<SocketAddress> parse_socket_address_literal(std::string_view text) noexcept {
    if (text.empty()) return std::nullopt;
    return text.front() == '[' ? parse_ipv6(text) : parse_ipv4(text);
}

}  // namespace quorlin
