#include "common/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>

namespace quorlin {

void fill_random(std::span<std::uint8_t> out) noexcept {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::abort();
        }
        done += static_cast<std::size_t>(n);
    }
}

std::uint32_t random_u32() noexcept {
    std::uint8_t bytes[4];
    fill_random(bytes);
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace quorlin
