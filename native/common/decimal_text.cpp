#include "common/decimal_text.hpp"

#include <chrono>
#include <cstdio>

namespace quorlin {

std::string whole_percent(double percent) { return std::to_string(static_cast<long long>(percent + 0.5)); }

std::uint64_t whole_microseconds(Clock::duration span) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(span).count();
    return us > 0 ? static_cast<std::uint64_t>(us) : 0;
}

void append_thousandths(std::string& out, std::uint64_t thousandths) {
    char digits[32];
    const int length = std::snprintf(digits, sizeof digits, "%llu.%03llu",
                                     static_cast<unsigned long long>(thousandths / 1000),
                                     static_cast<unsigned long long>(thousandths % 1000));
    out.append(digits, static_cast<std::size_t>(length));
}

void append_seconds(std::string& out, Clock::duration span) {
    const std::uint64_t us = whole_microseconds(span);
    char digits[40];
    const int length = std::snprintf(digits, sizeof digits, "%llu.%06llus", static_cast<unsigned long long>(us / 1'000'000),
                                     static_cast<unsigned long long>(us % 1'000'000));
    out.append(digits, static_cast<std::size_t>(length));
}

}  // namespace quorlin
