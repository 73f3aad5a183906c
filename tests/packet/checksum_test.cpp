#include "packet/checksum.hpp"

#include "packet/packet_test_util.hpp"

#include <gtest/gtest.h>

namespace quorlin {
namespace {

using test::Bytes;

TEST(InternetChecksum, KnownSums) {
    struct Case {
        const char* what;
        Bytes data;
        std::uint16_t expected;
    };
    const Case cases[] = {
        {"empty", {}, 0xFFFF},
        {"RFC 1071 example", {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, 0x220D},
        {"odd byte is the high byte", {0x01}, 0xFEFF},
        {"odd tail", {0x00, 0x01, 0x02}, 0xFDFE},
        {"carry folds back", {0xFF, 0xFF, 0xFF, 0xFF}, 0x0000},
        {"carry of a carry", {0xFF, 0xFF, 0x00, 0x01}, 0xFFFE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(internet_checksum(c.data), c.expected) << c.what;
    }
}

TEST(InternetChecksum, PiecesOfAnyLengthSumLikeOneSequence) {
    const Bytes data{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x0F};
    for (std::size_t split = 0; split <= data.size(); ++split) {
        InternetChecksum checksum;
        checksum.add(std::span(data).first(split));
        checksum.add(std::span(data).subspan(split));
        EXPECT_EQ(checksum.finish(), internet_checksum(data)) << "split at " << split;
    }
}

}  // namespace
}  // namespace quorlin
