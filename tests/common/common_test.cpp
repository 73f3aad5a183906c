#include "common/clock.hpp"
#include "common/os_error.hpp"
#include "common/secret.hpp"

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
    EXPECT_TRUE(checked_add_ms(now, 1000).has_value());
    EXPECT_EQ(*checked_add_ms(now, 5), now + std::chrono::milliseconds(5));
    EXPECT_FALSE(checked_add_ms(now, UINT64_MAX).has_value());
    EXPECT_FALSE(checked_add(now, Clock::duration::max()).has_value());
    EXPECT_FALSE(checked_add(now, Clock::duration(-1)).has_value());
}

TEST(SecretArray, ClearZeroesTheStorage) {
    SecretArray<4> secret;
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    secret.assign(std::span<const std::uint8_t, 4>(bytes));
    EXPECT_EQ(secret.data()[3], 4);
    secret.clear();
    for (std::size_t i = 0; i < secret.size(); ++i) EXPECT_EQ(secret.data()[i], 0);
}

}  // namespace
}  // namespace quorlin
