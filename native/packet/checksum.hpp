#pragma once
// The Internet checksum (RFC 1071): one's-complement sum of big-endian 16-bit
// words, an odd final byte padded with a zero low byte, result inverted.

#include <cstdint>
#include <span>

namespace quorlin {

// Accumulates the sum over several pieces as if they were one contiguous byte
// sequence (a piece may have odd length; the next piece continues the word).
class InternetChecksum {
public:
    void add(std::span<const std::uint8_t> data) noexcept;
    // The inverted, folded 16-bit sum of everything added so far.
    std::uint16_t finish() const noexcept;

private:
    std::uint64_t sum_ = 0;
    bool odd_ = false;  // the last byte added was the high byte of a word
};

std::uint16_t internet_checksum(std::span<const std::uint8_t> data) noexcept;

}  // namespace quorlin
