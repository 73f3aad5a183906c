#pragma once
// An IPv6 address with a prefix length, kept exactly as written, like
// Ipv4Cidr: host bits beyond the prefix are neither rejected nor cleared.

#include "config/ip_address.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorlin {

struct Ipv6Cidr {
    Ipv6Address address;
    std::uint8_t prefix_len = 0;  // 0 to 128

    // "addr/n": the RFC 4291 text form (see ip_address.hpp: no zone index, no
    // brackets), one "/", then a prefix length of decimal digits with an
    // optional single leading "+" and leading zeros allowed, at most 128. The
    // failure carries no detail: each caller words its own message.
    static std::optional<Ipv6Cidr> from_str(std::string_view text) noexcept;

    // True when the first prefix_len bits of `target` equal those of
    // `address`; a /0 prefix contains every address.
    bool contains(const Ipv6Address& target) const noexcept;

    // "addr/n" with the address in its RFC 5952 form.
    std::string to_text() const;

    friend constexpr bool operator==(const Ipv6Cidr&, const Ipv6Cidr&) = default;
};

// True for ::ffff:0:0/96, the IPv4-mapped addresses: an IPv4 address written
// as IPv6, never a tunnel's own IPv6 address or target.
bool is_ipv4_mapped(const Ipv6Address& address) noexcept;

}  // namespace quorlin
