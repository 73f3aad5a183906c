#include "config/ip_address.hpp"
#include "config/ipv4_cidr.hpp"
#include "config/ipv6_cidr.hpp"
#include "config/unicode_whitespace.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorlin {
namespace {

TEST(Ipv4AddressText, StrictDottedQuad) {
    const std::pair<std::string_view, std::uint32_t> accepted[] = {
        {"0.0.0.0", 0}, {"255.255.255.255", 0xFFFFFFFF}, {"192.0.2.10", 0xC000020A}};
    for (const auto& [text, value] : accepted) {
        const auto address = parse_ipv4_address(text);
        ASSERT_TRUE(address.has_value()) << text;
        EXPECT_EQ(address->to_u32(), value);
        EXPECT_EQ(address->to_text(), text);
    }
    for (std::string_view text : {"00.0.0.0", "01.2.3.4", "1.2.3.010", "1.2.3.256", "1.2.3", "1.2.3.4.", "1.2.3.4.5",
                                  "1..2.3", " 1.2.3.4", "1.2.3.4 ", "+1.2.3.4", "1.2.3.4/32", "1234.1.1.1", ""}) {
        EXPECT_FALSE(parse_ipv4_address(text).has_value()) << text;
    }
}

TEST(Ipv6AddressText, Rfc4291Forms) {
    using Octets = std::array<std::uint8_t, 16>;
    const std::pair<std::string_view, Octets> accepted[] = {
        {"::", Octets{}},
        {"::1", Octets{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"2001:db8::53", Octets{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53}},
        {"1:2:3:4:5:6:7:8", Octets{0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}},
        {"1:2:3:4:5:6:7::", Octets{0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 0}},
        {"::2:3:4:5:6:7:8", Octets{0, 0, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}},
        {"FFFF::abcd", Octets{0xff, 0xff, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xab, 0xcd}},
        {"::ffff:192.0.2.1", Octets{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1}},
        {"1:2:3:4:5:6:1.2.3.4", Octets{0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 1, 2, 3, 4}},
    };
    for (const auto& [text, octets] : accepted) {
        const auto address = parse_ipv6_address(text);
        ASSERT_TRUE(address.has_value()) << text;
        EXPECT_EQ(address->octets, octets) << text;
    }
    // "::" must stand for at least one group; no brackets, zones or prefixes.
    for (std::string_view text : {"1:2:3:4:5:6:7:8:9", "1:2:3:4::5:6:7:8", "1:2:3:4:5:6:7", "1::2::3", ":::", ":1::",
                                  "1:", "1::2:", "12345::", "g::", "[::1]", "fe80::1%eth0", "::/0", "::ffff:01.2.3.4",
                                  "1:2:3:4:5:6:7:1.2.3.4", "::1.2.3.4:5", "1.2.3.4", ""}) {
        EXPECT_FALSE(parse_ipv6_address(text).has_value()) << text;
    }
}

TEST(Ipv4CidrText, FromStr) {
    const std::pair<std::string_view, std::string_view> accepted[] = {
        {"10.0.0.1/32", "10.0.0.1/32"},  {"0.0.0.0/0", "0.0.0.0/0"},
        {"10.0.0.5/24", "10.0.0.5/24"},  // host bits kept
        {"10.0.0.1/+24", "10.0.0.1/24"}, {"10.0.0.1/024", "10.0.0.1/24"},
        {"10.0.0.1/0000000000032", "10.0.0.1/32"},
    };
    for (const auto& [text, stored] : accepted) {
        const auto cidr = Ipv4Cidr::from_str(text);
        ASSERT_TRUE(cidr.has_value()) << text;
        EXPECT_EQ(cidr->to_text(), stored);
    }
    for (std::string_view text : {"10.0.0.1/33", "10.0.0.1/", "10.0.0.1", "10.0.0.1/-1", "10.0.0.1/+", "10.0.0.1/-",
                                  "10.0.0.1/++24", "10.0.0.1/256", "10.0.0.1/24/5", "010.0.0.1/24", "10.0.0.256/24",
                                  "10.0.0.1 /24", "10.0.0.1/ 24", "/24"}) {
        EXPECT_FALSE(Ipv4Cidr::from_str(text).has_value()) << text;
    }
}

TEST(Ipv4CidrContains, ComparesOnlyThePrefixBits) {
    struct Case {
        std::string_view cidr, target;
        bool inside;
    };
    const Case cases[] = {
        {"0.0.0.0/0", "255.1.2.3", true},       {"10.0.0.7/8", "10.255.0.1", true},
        {"10.0.0.7/8", "11.0.0.7", false},      {"10.0.0.1/32", "10.0.0.1", true},
        {"10.0.0.1/32", "10.0.0.2", false},     {"192.168.1.0/23", "192.168.0.255", true},
        {"192.168.1.0/23", "192.168.2.0", false}, {"128.0.0.0/1", "127.255.255.255", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Ipv4Cidr::from_str(c.cidr)->contains(*parse_ipv4_address(c.target)), c.inside)
            << c.cidr << " " << c.target;
    }
}

TEST(Ipv6CidrContains, ComparesOnlyThePrefixBits) {
    struct Case {
        std::string_view cidr, target;
        bool inside;
    };
    const Case cases[] = {
        {"::/0", "2001:db8::1", true},           {"fd00:8::/64", "fd00:8::ffff:1", true},
        {"fd00:8::/64", "fd00:9::1", false},     {"fd00::2/128", "fd00::2", true},
        {"fd00::2/128", "fd00::3", false},       {"fd00:8::/31", "fd00:9::1", true},
        {"fd00:8::/31", "fd00:a::1", false},     {"fd00:8::/124", "fd00:8::f", true},
        {"fd00:8::/124", "fd00:8::10", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Ipv6Cidr::from_str(c.cidr)->contains(*parse_ipv6_address(c.target)), c.inside)
            << c.cidr << " " << c.target;
    }
}

TEST(UnicodeWhitespace, TrimsEveryWhiteSpaceCharacterAndNothingElse) {
    for (std::string_view space : {" ", "\t", "\n", "\v", "\f", "\r", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
                                   "\xE2\x80\x80", "\xE2\x80\x85", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9",
                                   "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"}) {
        const std::string s(space);
        EXPECT_EQ(trim_unicode_whitespace(s + s + "a" + s + "b" + s), "a" + s + "b");
    }
    // Byte-order mark, zero-width space (not White_Space), stray UTF-8 pieces.
    for (std::string_view text : {"\xEF\xBB\xBFx", "\xE2\x80\x8Bx", "\xA0x\x85", "x\x80\x80", "\xE2\x80"}) {
        EXPECT_EQ(trim_unicode_whitespace(text), text);
    }
    EXPECT_EQ(trim_unicode_whitespace(" \t\xE3\x80\x80 "), "");
}

}  // namespace
}  // namespace quorlin
