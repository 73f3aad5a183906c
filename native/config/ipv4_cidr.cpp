#include "config/ipv4_cidr.hpp"

namespace quorlin {

std::optional<Ipv4Cidr> Ipv4Cidr::from_str(std::string_view text) noexcept {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const auto address = parse_ipv4_address(text.substr(0, slash));
    if (!address) return std::nullopt;

    std::string_view length = text.substr(slash + 1);
    if (length.starts_with('+')) length.remove_prefix(1);
    if (length.empty()) return std::nullopt;
    std::uint8_t value = 0;
    for (char c : length) {
        if (c < '0' || c > '9') return std::nullopt;
        const unsigned next = value * 10u + static_cast<unsigned>(c - '0');
        if (next > 255) return std::nullopt;  // no longer fits 8 bits
        value = static_cast<std::uint8_t>(next);
    }
    if (value > 32) return std::nullopt;
    return Ipv4Cidr{*address, value};
}

std::string Ipv4Cidr::to_text() const {
    return address.to_text() + '/' + std::to_string(prefix_len);
}

}  // namespace quorlin
