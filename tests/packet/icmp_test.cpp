#include "packet/icmp.hpp"

#include "packet/packet_test_util.hpp"

#include <gtest/gtest.h>

namespace quorlin {
namespace {

using test::Bytes;

const Ipv4Octets client{10, 0, 0, 2};
const Ipv4Octets target{10, 0, 0, 1};

TEST(IcmpEchoRequest, KnownPacketByteForByte) {
    const Bytes expected{0x45, 0x00, 0x00, 0x24, 0x00, 0x00, 0x40, 0x00, 0x40, 0x01, 0x26, 0xD7,
                         0x0A, 0x00, 0x00, 0x02, 0x0A, 0x00, 0x00, 0x01, 0x08, 0x00, 0x3C, 0x7D,
                         0x00, 0x00, 0x00, 0x00, 0x71, 0x75, 0x6F, 0x72, 0x6C, 0x69, 0x6E, 0x31};
    EXPECT_EQ(icmp_echo_request(client, target, 0, 0, 0), expected);
}

TEST(IcmpEchoRequest, CarriesIdentifiersWithValidChecksums) {
    const Bytes packet = icmp_echo_request(client, target, 0xA1B2, 0xC3D4, 0xE5F6);
    ASSERT_EQ(packet.size(), icmp_echo_request_bytes);
    EXPECT_EQ(packet[4], 0xA1);
    EXPECT_EQ(packet[5], 0xB2);
    EXPECT_EQ(Bytes(packet.begin() + 24, packet.begin() + 28), (Bytes{0xC3, 0xD4, 0xE5, 0xF6}));
    EXPECT_EQ(internet_checksum(std::span(packet).first(20)), 0);
    EXPECT_EQ(internet_checksum(std::span(packet).subspan(20)), 0);
}

// An echo reply as the target would send it, with every field adjustable.
struct ReplyShape {
    test::Ipv4Shape ip{.source = target, .destination = client, .protocol = ip_protocol_icmp};
    std::uint8_t type = 0;
    std::uint8_t code = 0;
    std::uint16_t identifier = 0x0102;
    std::uint16_t sequence = 3;
    Bytes payload = test::text_bytes("quorlin1");
    bool corrupt_icmp_checksum = false;
    Bytes trailing;
};

Bytes reply_with(const ReplyShape& shape) {
    Bytes icmp{shape.type, shape.code, 0, 0};
    append_be16(icmp, shape.identifier);
    append_be16(icmp, shape.sequence);
    test::append(icmp, shape.payload);
    std::uint16_t checksum = internet_checksum(icmp);
    if (shape.corrupt_icmp_checksum) checksum ^= 0x8000;
    write_be16(icmp, 2, checksum);
    Bytes packet = test::ipv4_with(shape.ip, icmp);
    test::append(packet, shape.trailing);
    return packet;
}

TEST(IsIcmpEchoReply, AcceptsExactlyTheExpectedReply) {
    struct Case {
        const char* what;
        ReplyShape shape;
        bool matches;
    };
    const auto with = [](auto change) {
        ReplyShape shape;
        change(shape);
        return shape;
    };
    const Case cases[] = {
        {"plain reply", {}, true},
        {"one option word", with([](ReplyShape& s) { s.ip.options = {0x01, 0x01, 0x01, 0x00}; }), true},
        {"don't-fragment clear", with([](ReplyShape& s) { s.ip.flags_fragment = 0; }), true},
        {"reserved flag set", with([](ReplyShape& s) { s.ip.flags_fragment = 0x8000; }), true},
        {"more fragments", with([](ReplyShape& s) { s.ip.flags_fragment = 0x6000; }), false},
        {"fragment offset", with([](ReplyShape& s) { s.ip.flags_fragment = 0x4001; }), false},
        {"high fragment offset bits", with([](ReplyShape& s) { s.ip.flags_fragment = 0x5F00; }), false},
        {"total length beyond packet", with([](ReplyShape& s) { s.ip.total_length_delta = 1; }), false},
        {"bytes beyond total length", with([](ReplyShape& s) { s.trailing = {0xDE, 0xAD}; }), true},
        {"version 6", with([](ReplyShape& s) { s.ip.version = 6; }), false},
        {"bad header checksum", with([](ReplyShape& s) { s.ip.corrupt_checksum = true; }), false},
        {"udp", with([](ReplyShape& s) { s.ip.protocol = 17; }), false},
        {"other source", with([](ReplyShape& s) { s.ip.source = {10, 0, 0, 9}; }), false},
        {"other destination", with([](ReplyShape& s) { s.ip.destination = {10, 0, 0, 9}; }), false},
        {"echo request", with([](ReplyShape& s) { s.type = 8; }), false},
        {"destination unreachable", with([](ReplyShape& s) { s.type = 3; }), false},
        {"non-zero code", with([](ReplyShape& s) { s.code = 1; }), false},
        {"bad icmp checksum", with([](ReplyShape& s) { s.corrupt_icmp_checksum = true; }), false},
        {"other identifier", with([](ReplyShape& s) { s.identifier = 0x0103; }), false},
        {"earlier sequence", with([](ReplyShape& s) { s.sequence = 2; }), false},
        {"other payload", with([](ReplyShape& s) { s.payload = test::text_bytes("somebody"); }), true},
        {"odd longer payload", with([](ReplyShape& s) { s.payload = test::text_bytes("quorlin1!"); }), true},
        {"no payload", with([](ReplyShape& s) { s.payload.clear(); }), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_icmp_echo_reply(reply_with(c.shape), target, client, 0x0102, 3), c.matches) << c.what;
    }
}

// A sized echo: exactly the size asked, valid checksums; its reply must carry
// the same payload, not just the same identifier and sequence.
TEST(SizedEcho, FillsToTheSizeAndTheReplyMustCarryThePayloadBack) {
    const Bytes request = icmp_sized_echo_request(client, target, 7, 0x0102, 3, 1420, 0x5A);
    ASSERT_EQ(request.size(), 1420u);
    EXPECT_EQ((Bytes{request[2], request[3]}), (Bytes{0x05, 0x8C}));
    EXPECT_EQ(request[6] & 0x40, 0x40) << "don't fragment";
    EXPECT_EQ(internet_checksum(std::span(request).subspan(20)), 0);
    const Bytes payload(request.begin() + icmp_echo_overhead_bytes, request.end());
    struct Case {
        const char* what;
        Bytes payload;
        bool matches;
    };
    Bytes altered = payload;
    altered[700] ^= 1;
    const Case cases[] = {
        {"the same payload", payload, true},
        {"one byte altered", altered, false},
        {"cut short", Bytes(payload.begin(), payload.end() - 16), false},
        {"the small echo's payload", test::text_bytes("quorlin1"), false},
    };
    for (const Case& c : cases) {
        ReplyShape shape;
        shape.payload = c.payload;
        EXPECT_EQ(is_icmp_echo_reply(reply_with(shape), target, client, 0x0102, 3, request), c.matches) << c.what;
    }
    EXPECT_EQ(icmp_sized_echo_request(client, target, 0, 0, 0, 576, 0).size(), 576u);
}

TEST(IsIcmpEchoReply, RefusesBrokenHeaders) {
    const Bytes good = reply_with({});
    ASSERT_TRUE(is_icmp_echo_reply(good, target, client, 0x0102, 3));

    EXPECT_FALSE(is_icmp_echo_reply(std::span(good).first(19), target, client, 0x0102, 3));
    EXPECT_FALSE(is_icmp_echo_reply({}, target, client, 0x0102, 3));

    // ICMP part shorter than its 8-byte header: total length trimmed to 27,
    // header checksum fixed so only the length check can refuse it.
    Bytes short_icmp(good.begin(), good.begin() + 27);
    write_be16(short_icmp, 2, 27);
    write_be16(short_icmp, 10, 0);
    write_be16(short_icmp, 10, internet_checksum(std::span(short_icmp).first(20)));
    EXPECT_FALSE(is_icmp_echo_reply(short_icmp, target, client, 0x0102, 3));

    // Header lengths below 20, and one (60) beyond the 36-byte total length:
    // refused before the header checksum is even read.
    for (const std::uint8_t version_ihl : {0x40, 0x44, 0x4F}) {
        Bytes bad = good;
        bad[0] = version_ihl;
        EXPECT_FALSE(is_icmp_echo_reply(bad, target, client, 0x0102, 3)) << int(version_ihl);
    }
}

}  // namespace
}  // namespace quorlin
