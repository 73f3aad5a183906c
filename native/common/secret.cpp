#include "common/secret.hpp"

#include <sodium.h>

namespace quorlin {

void wipe(void* data, std::size_t size) noexcept {
    if (size != 0) sodium_memzero(data, size);
}

}  // namespace quorlin
