#include "common/clock.hpp"
#include "common/os_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace quorlin {
namespace {

TEST(OsErrorText, NamesTheErrorAndItsNumber) {
    EXPECT_EQ(os_error_text(ECONNREFUSED), "Connection refused (os error 111)");
    EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
}

TEST(CheckedAdd, RefusesWhatTheClockCannotRepresent) {
    const Instant now = Clock::now();
    EXPECT_EQ(*checked_add(now, Duration::from_millis(5)), now + std::chrono::milliseconds(5));
    EXPECT_FALSE(checked_add(now, Duration::from_millis(UINT64_MAX)).has_value());
    EXPECT_FALSE(checked_add(now, Duration{UINT64_MAX, 999'999'999}).has_value());
    // Just below the clock's range from its epoch, just above it from now.
    const auto max_ns = static_cast<std::uint64_t>(INT64_MAX);
    EXPECT_FALSE(checked_add(now, Duration{max_ns / 1'000'000'000, 0}).has_value());
}

TEST(DurationTest, MillisDropTheRemainderAndSaturate) {
    EXPECT_EQ(Duration::from_millis(1234).as_millis(), 1234u);
    EXPECT_EQ((Duration{1, 999'999}).as_millis(), 1000u);
    EXPECT_EQ((Duration{UINT64_MAX, 0}).as_millis(), UINT64_MAX);
    EXPECT_EQ(Duration::from_clock(std::chrono::nanoseconds(-5)), Duration{});
    EXPECT_EQ(remaining_until(Clock::now() - std::chrono::seconds(1), Clock::now()), Duration{});
}

}  // namespace
}  // namespace quorlin
