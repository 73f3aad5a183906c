#pragma once
// TCP sequence numbers: 32-bit and compared modulo 2^32, so that a stream
// crossing the wrap keeps its order. Valid while the two numbers compared lie
// within 2^31 of each other, which every window here keeps.

#include <cstdint>

namespace quorlin::tcp_sequence {

// How far `b` lies after `a` (negative when before).
constexpr std::int32_t distance(std::uint32_t a, std::uint32_t b) noexcept {
    return static_cast<std::int32_t>(b - a);
}
constexpr bool before(std::uint32_t a, std::uint32_t b) noexcept { return distance(a, b) > 0; }
constexpr bool at_or_before(std::uint32_t a, std::uint32_t b) noexcept { return distance(a, b) >= 0; }

// Whether a segment starting at `sequence` and occupying `length` sequence
// numbers (data, plus one for a FIN) may be accepted by a receiver expecting
// `next` with `window` bytes of room, as TCP's acceptance test has it.
constexpr bool acceptable(std::uint32_t sequence, std::uint32_t length, std::uint32_t next,
                          std::uint32_t window) noexcept {
    const auto in_window = [&](std::uint32_t s) {
        return at_or_before(next, s) && before(s, next + window);
    };
    if (length == 0) return window == 0 ? sequence == next : in_window(sequence);
    if (window == 0) return false;
    return in_window(sequence) || in_window(sequence + length - 1);
}

}  // namespace quorlin::tcp_sequence
