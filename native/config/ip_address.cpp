#include "config/ip_address.hpp"

#include "common/hex_digit.hpp"

#include <cstddef>

namespace quorlin {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// One dotted-quad field: 1 to 3 digits, at most 255, no leading zero unless
// the field is the single digit 0.
std::optional<std::uint8_t> parse_octet(std::string_view field) noexcept {
    if (field.empty() || field.size() > 3) return std::nullopt;
    if (field.size() > 1 && field[0] == '0') return std::nullopt;
    unsigned value = 0;
    for (char c : field) {
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 255) return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

}  // namespace

std::optional<Ipv4Address> parse_ipv4_address(std::string_view text) noexcept {
    Ipv4Address address;
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t dot = text.find('.');
        const bool last = i == 3;
        // Exactly three dots: the first three fields end at one, the last at the end.
        if (last != (dot == std::string_view::npos)) return std::nullopt;
        const auto octet = parse_octet(text.substr(0, dot));
        if (!octet) return std::nullopt;
        address.octets[i] = *octet;
        if (!last) text.remove_prefix(dot + 1);
    }
    return address;
}

std::optional<Ipv6Address> parse_ipv6_address(std::string_view text) noexcept {
    std::uint8_t groups[8][2] = {};
    std::size_t count = 0;                // groups written so far
    std::optional<std::size_t> gap;       // group index where "::" stands
    std::size_t i = 0;
    const std::size_t n = text.size();

    if (text.starts_with("::")) {
        gap = 0;
        i = 2;
    }
    while (i < n) {
        if (count == 8) return std::nullopt;
        std::size_t digits = 0;
        while (i + digits < n && hex_value(text[i + digits]) >= 0) ++digits;
        if (i + digits < n && text[i + digits] == '.') {
            // A dotted quad takes the place of the last two groups.
            const auto v4 = parse_ipv4_address(text.substr(i));
            if (!v4 || count > 6) return std::nullopt;
            groups[count][0] = v4->octets[0];
            groups[count][1] = v4->octets[1];
            groups[count + 1][0] = v4->octets[2];
            groups[count + 1][1] = v4->octets[3];
            count += 2;
            i = n;
            break;
        }
        if (digits == 0 || digits > 4) return std::nullopt;
        unsigned value = 0;
        for (std::size_t k = 0; k < digits; ++k) value = value * 16 + static_cast<unsigned>(hex_value(text[i + k]));
        groups[count][0] = static_cast<std::uint8_t>(value >> 8);
        groups[count][1] = static_cast<std::uint8_t>(value);
        ++count;
        i += digits;
        if (i == n) break;
        if (text[i] != ':') return std::nullopt;
        ++i;
        if (i < n && text[i] == ':') {
            if (gap) return std::nullopt;
            gap = count;
            ++i;
        } else if (i == n) {
            return std::nullopt;  // a single trailing colon
        }
    }

    Ipv6Address address;
    if (gap) {
        if (count > 7) return std::nullopt;  // "::" stands for at least one group
        const std::size_t tail = count - *gap;
        for (std::size_t g = 0; g < *gap; ++g) {
            address.octets[2 * g] = groups[g][0];
            address.octets[2 * g + 1] = groups[g][1];
        }
        for (std::size_t g = 0; g < tail; ++g) {
            const std::size_t to = 8 - tail + g;
            address.octets[2 * to] = groups[*gap + g][0];
            address.octets[2 * to + 1] = groups[*gap + g][1];
        }
    } else {
        if (count != 8) return std::nullopt;
        for (std::size_t g = 0; g < 8; ++g) {
            address.octets[2 * g] = groups[g][0];
            address.octets[2 * g + 1] = groups[g][1];
        }
    }
    return address;
}

std::optional<IpAddress> parse_ip_address(std::string_view text) noexcept {
    if (auto v4 = parse_ipv4_address(text)) return IpAddress{*v4};
    if (auto v6 = parse_ipv6_address(text)) return IpAddress{*v6};
    return std::nullopt;
}

}  // namespace quorlin
