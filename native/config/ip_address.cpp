#include "config/ip_address.hpp"

#include "common/hex_digit.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

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

namespace {

// The groups of an IPv6 text as written, and where "::" stood.
struct Ipv6Groups {
    std::array<std::uint16_t, 8> values{};
    std::size_t count = 0;
    std::optional<std::size_t> gap;  // the group index where "::" stands
};

// A trailing dotted quad takes the place of the last two groups.
bool append_dotted_quad(Ipv6Groups& groups, std::string_view text) noexcept {
    const auto v4 = parse_ipv4_address(text);
    if (!v4 || groups.count > 6) return false;
    groups.values[groups.count++] = static_cast<std::uint16_t>((v4->octets[0] << 8) | v4->octets[1]);
    groups.values[groups.count++] = static_cast<std::uint16_t>((v4->octets[2] << 8) | v4->octets[3]);
    return true;
}

// The groups of `text`: one to four hexadecimal digits each, separated by
// ':', with at most one "::" and no colon left over at either end.
std::optional<Ipv6Groups> read_ipv6_groups(std::string_view text) noexcept {
    Ipv6Groups groups;
    std::size_t i = 0;
    const std::size_t n = text.size();
    if (text.starts_with("::")) {
        groups.gap = 0;
        i = 2;
    }
    while (i < n) {
        if (groups.count == 8) return std::nullopt;
        std::size_t digits = 0;
        while (i + digits < n && hex_value(text[i + digits]) >= 0) ++digits;
        if (i + digits < n && text[i + digits] == '.') {
            if (!append_dotted_quad(groups, text.substr(i))) return std::nullopt;
            break;
        }
        if (digits == 0 || digits > 4) return std::nullopt;
        unsigned value = 0;
        for (std::size_t k = 0; k < digits; ++k) value = value * 16 + static_cast<unsigned>(hex_value(text[i + k]));
        groups.values[groups.count++] = static_cast<std::uint16_t>(value);
        i += digits;
        if (i == n) break;
        if (text[i] != ':') return std::nullopt;
        ++i;
        if (i < n && text[i] == ':') {
            if (groups.gap) return std::nullopt;
            groups.gap = groups.count;
            ++i;
        } else if (i == n) {
            return std::nullopt;  // a single trailing colon
        }
    }
    return groups;
}

// The address the groups spell: eight of them, or fewer around a "::" that
// stands for at least one zero group.
std::optional<Ipv6Address> expanded(const Ipv6Groups& groups) noexcept {
    if (groups.gap ? groups.count > 7 : groups.count != 8) return std::nullopt;
    const std::size_t head = groups.gap.value_or(groups.count);
    const std::size_t tail = groups.count - head;
    std::array<std::uint16_t, 8> full{};
    for (std::size_t g = 0; g < head; ++g) full[g] = groups.values[g];
    for (std::size_t g = 0; g < tail; ++g) full[8 - tail + g] = groups.values[head + g];
    Ipv6Address address;
    for (std::size_t g = 0; g < 8; ++g) {
        address.octets[2 * g] = static_cast<std::uint8_t>(full[g] >> 8);
        address.octets[2 * g + 1] = static_cast<std::uint8_t>(full[g]);
    }
    return address;
}

}  // namespace

std::optional<Ipv6Address> parse_ipv6_address(std::string_view text) noexcept {
    const auto groups = read_ipv6_groups(text);
    if (!groups) return std::nullopt;
    return expanded(*groups);
}

std::optional<IpAddress> parse_ip_address(std::string_view text) noexcept {
    if (auto v4 = parse_ipv4_address(text)) return IpAddress{*v4};
    if (auto v6 = parse_ipv6_address(text)) return IpAddress{*v6};
    return std::nullopt;
}

std::string ip_text(const IpAddress& address) {
    return std::visit([](const auto& family) { return family.to_text(); }, address);
}

}  // namespace quorlin
