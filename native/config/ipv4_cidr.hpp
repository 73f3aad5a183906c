#pragma once
// An IPv4 address with a prefix length, kept exactly as written: host bits
// beyond the prefix are neither rejected nor cleared (10.0.0.5/24 stays
// 10.0.0.5 with prefix 24).

#include "config/ip_address.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorlin {

struct Ipv4Cidr {
    Ipv4Address address;
    std::uint8_t prefix_len = 0;  // 0 to 32

    // "a.b.c.d/n": a strict dotted quad (see ip_address.hpp), one "/", then a
    // prefix length of decimal digits with an optional single leading "+" and
    // leading zeros allowed, at most 32. The failure carries no detail: each
    // caller words its own message.
    static std::optional<Ipv4Cidr> from_str(std::string_view text) noexcept;

    // True when the first prefix_len bits of `target` equal those of
    // `address`; a /0 prefix contains every address.
    constexpr bool contains(Ipv4Address target) const noexcept {
        if (prefix_len == 0) return true;
        const std::uint32_t mask = prefix_len >= 32 ? 0xFFFF'FFFFu : ~(0xFFFF'FFFFu >> prefix_len);
        return ((target.to_u32() ^ address.to_u32()) & mask) == 0;
    }

    // "a.b.c.d/n" with the address as stored.
    std::string to_text() const;

    friend constexpr bool operator==(const Ipv4Cidr&, const Ipv4Cidr&) = default;
};

}  // namespace quorlin
