#pragma once
// Plain IP address values and their strict text forms.
//
// IPv4 text is a dotted quad: exactly four decimal fields of one to three
// digits, each 0 to 255, with no leading zero in a field of more than one digit
// ("0" is fine, "00", "01" and "010" are not), and nothing else (no spaces,
// sign, prefix length or trailing dot).
//
// IPv6 text is the RFC 4291 form: eight groups of one to four hex digits,
// at most one "::" standing for one or more zero groups, and optionally a
// dotted quad (same rules as above) in place of the last two groups. No
// brackets, zone index or prefix length.

#include "common/ipv4_octets.hpp"
#include "common/ipv6_octets.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace quorlin {

struct Ipv4Address {
    Ipv4Octets octets{};

    // The address as a 32-bit number, first octet most significant.
    constexpr std::uint32_t to_u32() const noexcept {
        return (std::uint32_t{octets[0]} << 24) | (std::uint32_t{octets[1]} << 16) |
               (std::uint32_t{octets[2]} << 8) | std::uint32_t{octets[3]};
    }
    // Dotted decimal, e.g. "192.0.2.1".
    std::string to_text() const { return ipv4_text(octets); }

    friend constexpr bool operator==(const Ipv4Address&, const Ipv4Address&) = default;
};

struct Ipv6Address {
    Ipv6Octets octets{};  // network order

    // The RFC 5952 form, e.g. "fd00:8::2".
    std::string to_text() const { return ipv6_text(octets); }

    friend constexpr bool operator==(const Ipv6Address&, const Ipv6Address&) = default;
};

using IpAddress = std::variant<Ipv4Address, Ipv6Address>;

// The text of either family: dotted quad, or RFC 5952 for IPv6.
std::string ip_text(const IpAddress& address);

// Strict dotted quad; nullopt for anything else.
std::optional<Ipv4Address> parse_ipv4_address(std::string_view text) noexcept;
// RFC 4291 text form; nullopt for anything else.
std::optional<Ipv6Address> parse_ipv6_address(std::string_view text) noexcept;
// Either of the two forms above.
std::optional<IpAddress> parse_ip_address(std::string_view text) noexcept;

}  // namespace quorlin
