#include "config/ip_address.hpp"
#include "config/ipv4_cidr.hpp"
#include "config/unicode_whitespace.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorlin {
namespace {

TEST(Ipv4AddressText, StrictDottedQuad) {
    struct Case {
        std::string_view text;
        std::optional<std::uint32_t> value;
    };
    const Case cases[] = {
        {"0.0.0.0", 0},
        {"255.255.255.255", 0xFFFFFFFF},
        {"192.0.2.10", 0xC000020A},
        {"00.0.0.0", {}},
        {"01.2.3.4", {}},
        {"1.2.3.010", {}},
        {"1.2.3.256", {}},
        {"1.2.3", {}},
        {"1.2.3.4.", {}},
        {"1.2.3.4.5", {}},
        {"1..2.3", {}},
        {" 1.2.3.4", {}},
        {"1.2.3.4 ", {}},
        {"+1.2.3.4", {}},
        {"1.2.3.4/32", {}},
        {"1234.1.1.1", {}},
        {"", {}},
    };
    for (const Case& c : cases) {
        const auto address = parse_ipv4_address(c.text);
        ASSERT_EQ(address.has_value(), c.value.has_value()) << c.text;
        if (address) {
            EXPECT_EQ(address->to_u32(), *c.value) << c.text;
            EXPECT_EQ(address->to_text(), c.text);
        }
    }
}

TEST(Ipv6AddressText, Rfc4291Forms) {
    using Octets = std::array<std::uint8_t, 16>;
    struct Case {
        std::string_view text;
        std::optional<Octets> octets;
    };
    const Case cases[] = {
        {"::", Octets{}},
        {"::1", Octets{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"2001:db8::53", Octets{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53}},
        {"1:2:3:4:5:6:7:8", Octets{0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}},
        {"1:2:3:4:5:6:7::", Octets{0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 0}},
        {"::2:3:4:5:6:7:8", Octets{0, 0, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}},
        {"FFFF::abcd", Octets{0xff, 0xff, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xab, 0xcd}},
        {"::ffff:192.0.2.1", Octets{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1}},
        {"1:2:3:4:5:6:1.2.3.4", Octets{0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 1, 2, 3, 4}},
        {"1:2:3:4:5:6:7:8:9", {}},
        {"1:2:3:4::5:6:7:8", {}},  // "::" must stand for at least one group
        {"1:2:3:4:5:6:7", {}},
        {"1::2::3", {}},
        {":::", {}},
        {":1::", {}},
        {"1:", {}},
        {"1::2:", {}},
        {"12345::", {}},
        {"g::", {}},
        {"[::1]", {}},
        {"fe80::1%eth0", {}},
        {"::/0", {}},
        {"::ffff:01.2.3.4", {}},
        {"1:2:3:4:5:6:7:1.2.3.4", {}},
        {"::1.2.3.4:5", {}},
        {"1.2.3.4", {}},
        {"", {}},
    };
    for (const Case& c : cases) {
        const auto address = parse_ipv6_address(c.text);
        ASSERT_EQ(address.has_value(), c.octets.has_value()) << c.text;
        if (address) {
            EXPECT_EQ(address->octets, *c.octets) << c.text;
        }
    }
}

TEST(Ipv4CidrText, FromStr) {
    struct Case {
        std::string_view text;
        std::optional<std::string_view> stored;  // as to_text() shows it
    };
    const Case cases[] = {
        {"10.0.0.1/32", "10.0.0.1/32"},
        {"0.0.0.0/0", "0.0.0.0/0"},
        {"10.0.0.5/24", "10.0.0.5/24"},  // host bits kept
        {"10.0.0.1/+24", "10.0.0.1/24"},
        {"10.0.0.1/024", "10.0.0.1/24"},
        {"10.0.0.1/0000000000032", "10.0.0.1/32"},
        {"10.0.0.1/33", {}},
        {"10.0.0.1/", {}},
        {"10.0.0.1", {}},
        {"10.0.0.1/-1", {}},
        {"10.0.0.1/+", {}},
        {"10.0.0.1/-", {}},
        {"10.0.0.1/++24", {}},
        {"10.0.0.1/256", {}},
        {"10.0.0.1/24/5", {}},
        {"010.0.0.1/24", {}},
        {"10.0.0.256/24", {}},
        {"10.0.0.1 /24", {}},
        {"10.0.0.1/ 24", {}},
        {"/24", {}},
    };
    for (const Case& c : cases) {
        const auto cidr = Ipv4Cidr::from_str(c.text);
        ASSERT_EQ(cidr.has_value(), c.stored.has_value()) << c.text;
        if (cidr) {
            EXPECT_EQ(cidr->to_text(), *c.stored);
        }
    }
}

TEST(Ipv4CidrContains, ComparesOnlyThePrefixBits) {
    struct Case {
        std::string_view cidr, target;
        bool inside;
    };
    const Case cases[] = {
        {"0.0.0.0/0", "255.1.2.3", true},
        {"10.0.0.7/8", "10.255.0.1", true},
        {"10.0.0.7/8", "11.0.0.7", false},
        {"10.0.0.1/32", "10.0.0.1", true},
        {"10.0.0.1/32", "10.0.0.2", false},
        {"192.168.1.0/23", "192.168.0.255", true},
        {"192.168.1.0/23", "192.168.2.0", false},
        {"128.0.0.0/1", "127.255.255.255", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Ipv4Cidr::from_str(c.cidr)->contains(*parse_ipv4_address(c.target)), c.inside)
            << c.cidr << " " << c.target;
    }
}

TEST(UnicodeWhitespace, TrimsEveryWhiteSpaceCharacterAndNothingElse) {
    const std::string_view spaces[] = {
        " ",            "\t",           "\n",           "\v",           "\f",           "\r",
        "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x85", "\xE2\x80\x8A",
        "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
    };
    for (std::string_view space : spaces) {
        const std::string text = std::string(space) + std::string(space) + "a" + std::string(space) + "b" +
                                 std::string(space);
        EXPECT_EQ(trim_unicode_whitespace(text), std::string("a") + std::string(space) + "b");
    }
    const std::string_view kept[] = {
        "\xEF\xBB\xBFx",  // byte-order mark
        "\xE2\x80\x8Bx",  // zero-width space is not White_Space
        "\xA0x\x85",      // lone continuation bytes
        "x\x80\x80",
        "\xE2\x80",
    };
    for (std::string_view text : kept) EXPECT_EQ(trim_unicode_whitespace(text), text);
    EXPECT_EQ(trim_unicode_whitespace(" \t\xE3\x80\x80 "), "");
}

}  // namespace
}  // namespace quorlin
