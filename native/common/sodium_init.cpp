#include "common/sodium_init.hpp"

#include <sodium.h>

#include <cstdlib>

namespace quorlin {

void ensure_sodium() noexcept {
    static const bool ready = sodium_init() >= 0;
    if (!ready) std::abort();
}

}  // namespace quorlin
