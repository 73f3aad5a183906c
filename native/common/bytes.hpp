#pragma once
// Big-endian field access for packet headers. Callers check
// bounds before reading; these helpers only assemble bytes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorlin {

inline std::uint16_t read_be16(std::span<const std::uint8_t> data, std::size_t offset) noexcept {
    return static_cast<std::uint16_t>((data[offset] << 8) | data[offset + 1]);
}

inline void write_be16(std::span<std::uint8_t> data, std::size_t offset, std::uint16_t value) noexcept {
    data[offset] = static_cast<std::uint8_t>(value >> 8);
    data[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

inline std::uint32_t read_be32(std::span<const std::uint8_t> data, std::size_t offset) noexcept {
    return (std::uint32_t{read_be16(data, offset)} << 16) | read_be16(data, offset + 2);
}

inline void write_be32(std::span<std::uint8_t> data, std::size_t offset, std::uint32_t value) noexcept {
    write_be16(data, offset, static_cast<std::uint16_t>(value >> 16));
    write_be16(data, offset + 2, static_cast<std::uint16_t>(value & 0xFFFF));
}

inline void append_be16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

}  // namespace quorlin
