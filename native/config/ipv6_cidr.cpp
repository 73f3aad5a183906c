#include "config/ipv6_cidr.hpp"

#include "common/ipv6_octets.hpp"

#include <algorithm>

namespace quorlin {

std::optional<Ipv6Cidr> Ipv6Cidr::from_str(std::string_view text) noexcept {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const auto address = parse_ipv6_address(text.substr(0, slash));
    if (!address) return std::nullopt;

    std::string_view length = text.substr(slash + 1);
    if (length.starts_with('+')) length.remove_prefix(1);
    if (length.empty()) return std::nullopt;
    unsigned value = 0;
    for (char c : length) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10u + static_cast<unsigned>(c - '0');
        if (value > 128) return std::nullopt;
    }
    return Ipv6Cidr{*address, static_cast<std::uint8_t>(value)};
}

bool Ipv6Cidr::contains(const Ipv6Address& target) const noexcept {
    const std::size_t whole = prefix_len / 8;
    if (!std::equal(address.octets.begin(), address.octets.begin() + static_cast<std::ptrdiff_t>(whole),
                    target.octets.begin())) {
        return false;
    }
    const unsigned rest = prefix_len % 8;
    if (rest == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return ((address.octets[whole] ^ target.octets[whole]) & mask) == 0;
}

std::string Ipv6Cidr::to_text() const {
    return ipv6_text(address.octets) + '/' + std::to_string(prefix_len);
}

bool is_ipv4_mapped(const Ipv6Address& address) noexcept {
    constexpr std::array<std::uint8_t, 12> prefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::equal(prefix.begin(), prefix.end(), address.octets.begin());
}

}  // namespace quorlin
