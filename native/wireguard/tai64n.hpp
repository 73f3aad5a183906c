#pragma once
// TAI64N timestamps as carried in handshake initiations: 8 bytes big-endian
// seconds (Unix seconds + 2^62 + 10, the standard base), then 4 bytes big-endian nanoseconds.
// Being big-endian, byte order is time order, which is what the responder's
// replay check compares.

#include <array>
#include <compare>
#include <cstdint>

namespace quorlin::wireguard {

inline constexpr std::size_t tai64n_bytes = 12;

struct Tai64n {
    std::array<std::uint8_t, tai64n_bytes> bytes{};

    // From a Unix time (seconds may be negative before 1970).
    static Tai64n from_unix(std::int64_t seconds, std::uint32_t nanoseconds) noexcept;
    // The wall clock (CLOCK_REALTIME) now.
    static Tai64n now() noexcept;

    friend auto operator<=>(const Tai64n&, const Tai64n&) = default;
};

}  // namespace quorlin::wireguard
