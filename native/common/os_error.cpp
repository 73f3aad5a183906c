#include "common/os_error.hpp"

#include <cstring>

namespace quorlin {

std::string os_error_text(int error_number) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(error_number, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace quorlin
