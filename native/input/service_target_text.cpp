#include "input/service_target_text.hpp"

#include <algorithm>
#include <charconv>

namespace quorlin::input {

namespace {

// A whole decimal from `low` through `high`: no sign, no leading zero, nothing after.
std::optional<std::uint32_t> plain_number(std::string_view text, std::uint32_t low, std::uint32_t high) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text[0] == '0' || error != std::errc{} || end != text.data() + text.size() || value < low ||
        value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint16_t> port_number(std::string_view text) {
    const auto port = plain_number(text, 1, 65535);
    return port ? std::optional(static_cast<std::uint16_t>(*port)) : std::nullopt;
}

// An IPv4 address, or what may be a DNS name (the plan checks it as one):
// letters, digits, '-', '_' and '.', not empty.
std::optional<ServiceHost> service_host(std::string_view text) {
    if (auto address = parse_ipv4_address(text)) return ServiceHost{std::string(text), *address};
    const bool name_like = !text.empty() && std::ranges::all_of(text, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.';
    });
    // All digits and dots would be a mistyped address, not a name.
    const bool numeric = std::ranges::all_of(text, [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
    if (!name_like || numeric) return std::nullopt;
    return ServiceHost{std::string(text), std::nullopt};
}

// "HOST:PORT", or HOST alone when `default_port` is given.
std::optional<std::pair<ServiceHost, std::uint16_t>> host_and_port(std::string_view text,
                                                                    std::optional<std::uint16_t> default_port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        if (!default_port) return std::nullopt;
        auto host = service_host(text);
        if (!host) return std::nullopt;
        return std::pair{std::move(*host), *default_port};
    }
    auto host = service_host(text.substr(0, colon));
    const auto port = port_number(text.substr(colon + 1));
    if (!host || !port) return std::nullopt;
    return std::pair{std::move(*host), *port};
}

bool lower_case_prefix(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    return std::ranges::equal(text.substr(0, prefix.size()), prefix,
                              [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
}

}  // namespace

std::expected<TcpTarget, std::string> parse_tcp_target(std::string_view text, std::string_view label) {
    const std::size_t colon = text.rfind(':');
    if (colon != std::string_view::npos) {
        const auto address = parse_ipv4_address(text.substr(0, colon));
        const auto port = port_number(text.substr(colon + 1));
        if (address && port) return TcpTarget{*address, *port};
    }
    return std::unexpected(std::string(label) +
                           " must be ADDR:PORT (an IPv4 address and a port from 1 through 65535), got " +
                           std::string(text));
}

std::expected<TlsTarget, std::string> parse_tls_target(std::string_view text, std::string_view label) {
    if (auto parts = host_and_port(text, std::nullopt)) return TlsTarget{std::move(parts->first), parts->second};
    return std::unexpected(std::string(label) +
                           " must be HOST:PORT (an IPv4 address or a DNS name, and a port from 1 through 65535), got " +
                           std::string(text));
}

std::expected<HttpTarget, std::string> parse_http_url(std::string_view text, std::string_view label) {
    const auto refused = [&] {
        return std::unexpected(std::string(label) +
                               " must be an http:// or https:// URL (an IPv4 address or a DNS name, an optional port, "
                               "a path), got " + std::string(text));
    };
    HttpTarget target;
    target.url = std::string(text);
    std::string_view rest;
    if (lower_case_prefix(text, "https://")) {
        target.https = true;
        rest = text.substr(8);
    } else if (lower_case_prefix(text, "http://")) {
        rest = text.substr(7);
    } else {
        return refused();
    }
    rest = rest.substr(0, rest.find('#'));
    const std::size_t path_start = std::min(rest.find('/'), rest.find('?'));
    const std::string_view authority = rest.substr(0, path_start);
    auto parts = host_and_port(authority, target.https ? 443 : 80);
    if (!parts) return refused();
    target.host = std::move(parts->first);
    target.port = parts->second;
    const std::string_view path = path_start == std::string_view::npos ? std::string_view() : rest.substr(path_start);
    // The request line carries the path as written: printable, no spaces.
    if (!std::ranges::all_of(path, [](char c) { return c > ' ' && c < 0x7F; })) return refused();
    target.path = path.empty() ? "/" : path.starts_with('?') ? "/" + std::string(path) : std::string(path);
    return target;
}

std::expected<HttpStatusRanges, std::string> parse_http_statuses(std::string_view text, std::string_view label) {
    HttpStatusRanges ranges;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view item = text.substr(start, comma - start);
        const std::size_t dash = item.find('-');
        const auto low = plain_number(item.substr(0, dash), 100, 599);
        const auto high = dash == std::string_view::npos ? low : plain_number(item.substr(dash + 1), 100, 599);
        if (!low || !high || *high < *low) {
            return std::unexpected(std::string(label) +
                                   " must be status codes or ranges from 100 through 599, separated by commas "
                                   "(200,301 or 200-399), got " + std::string(text));
        }
        ranges.emplace_back(static_cast<std::uint16_t>(*low), static_cast<std::uint16_t>(*high));
        start = comma + 1;
    }
    return ranges;
}

}  // namespace quorlin::input
