#pragma once

#include <cstdint>
#include <span>

namespace quorlin {

// Fills the bytes from the kernel's secure random source (getrandom); a failure
// of the source ends the process, as out-of-memory does.
void fill_random(std::span<std::uint8_t> out) noexcept;

// A fresh 32-bit draw; 16-bit fields take the low 16 bits.
std::uint32_t random_u32() noexcept;

}  // namespace quorlin
