#include "wireguard/tai64n.hpp"

#include <time.h>

namespace quorlin::wireguard {

namespace {
// The label of TAI second 0 plus the 10 s by which TAI was ahead of UTC in
// 1970, the base every standard WireGuard implementation writes. With a base
// 10 s lower, a peer that last saw a standard client with the same key takes
// our initiations for replays until those 10 s have passed.
constexpr std::uint64_t tai64_unix_base = (std::uint64_t{1} << 62) + 10;
}

Tai64n Tai64n::from_unix(std::int64_t seconds, std::uint32_t nanoseconds) noexcept {
    const std::uint64_t labelled = tai64_unix_base + static_cast<std::uint64_t>(seconds);
    Tai64n stamp;
    for (int i = 0; i < 8; ++i) stamp.bytes[i] = static_cast<std::uint8_t>(labelled >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i) stamp.bytes[8 + i] = static_cast<std::uint8_t>(nanoseconds >> (24 - 8 * i));
    return stamp;
}

Tai64n Tai64n::now() noexcept {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    return from_unix(static_cast<std::int64_t>(wall.tv_sec), static_cast<std::uint32_t>(wall.tv_nsec));
}

}  // namespace quorlin::wireguard
