#include "common/secret.hpp"

#include <sodium.h>

namespace quorlin {

void wipe(void* data, std::size_t size) noexcept {
    if (size != 0) sodium_memzero(data, size);
}

bool equal_in_constant_time(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    return a.size() == b.size() && (a.empty() || sodium_memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace quorlin
