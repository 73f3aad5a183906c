#include "packet/icmpv6.hpp"

#include "packet/packet_test_util.hpp"

#include <gtest/gtest.h>

namespace quorlin {
namespace {

using test::Bytes;

const Ipv6Octets client{0xfd, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
const Ipv6Octets target{0xfd, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const Ipv6Octets router{0xfd, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

TEST(Ipv6Text, WritesTheRecommendedForm) {
    const std::pair<Ipv6Octets, const char*> cases[] = {
        {client, "fd00:8::2"},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
        {{}, "::"},
        {{0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "1::"},
        // One zero group stays; of two equal runs the first is shortened.
        {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}, "2001:db8:0:1:1:1:1:1"},
        {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}, "2001:db8::1:0:0:1"},
        {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}, "2001:db8:0:0:1::"},
        {{0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0x0A, 0xBC, 0, 0, 0, 0, 0xFF, 0xFF}, "fe80::abc:0:0:ffff"},
    };
    for (const auto& [address, text] : cases) EXPECT_EQ(ipv6_text(address), text);
}

TEST(Icmpv6EchoRequest, KnownPacketByteForByte) {
    const Bytes expected{0x60, 0x00, 0x00, 0x00, 0x00, 0x10, 0x3A, 0x40, 0xFD, 0x00, 0x00, 0x08, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xFD, 0x00, 0x00, 0x08,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x80, 0x00,
                         0x61, 0x71, 0x12, 0x34, 0x56, 0x78, 0x71, 0x75, 0x6F, 0x72, 0x6C, 0x69, 0x6E, 0x31};
    EXPECT_EQ(icmpv6_echo_request(client, target, 0x1234, 0x5678), expected);
    const Bytes sized = icmpv6_sized_echo_request(client, target, 7, 9, 1280, 0x5A);
    ASSERT_EQ(sized.size(), 1280u);
    EXPECT_EQ(pseudo_header_checksum(client, target, ip_protocol_icmpv6, std::span(sized).subspan(40)), 0);
}

// An ICMPv6 message with a correct checksum over the pseudo-header unless told
// otherwise, in an IPv6 packet.
Bytes icmpv6_with(const test::Ipv6Shape& ip, Bytes message, bool corrupt_checksum = false) {
    std::uint16_t checksum = pseudo_header_checksum(ip.source, ip.destination, ip_protocol_icmpv6, message);
    if (corrupt_checksum) checksum ^= 0x0400;
    write_be16(message, 2, checksum);
    return test::ipv6_with(ip, message);
}

struct ReplyShape {
    test::Ipv6Shape ip{.source = target, .destination = client};
    std::uint8_t type = 129;
    std::uint8_t code = 0;
    std::uint16_t identifier = 0x0102;
    std::uint16_t sequence = 3;
    Bytes payload = test::text_bytes("quorlin1");
    bool corrupt_checksum = false;
    Bytes trailing;
};

Bytes reply_with(const ReplyShape& shape) {
    Bytes message{shape.type, shape.code, 0, 0};
    append_be16(message, shape.identifier);
    append_be16(message, shape.sequence);
    test::append(message, shape.payload);
    Bytes packet = icmpv6_with(shape.ip, message, shape.corrupt_checksum);
    test::append(packet, shape.trailing);
    return packet;
}

TEST(IsIcmpv6EchoReply, AcceptsExactlyTheExpectedReply) {
    const Bytes request = icmpv6_sized_echo_request(client, target, 0x0102, 3, 64, 0x11);
    const Bytes request_payload(request.begin() + icmpv6_echo_overhead_bytes, request.end());
    struct Case {
        const char* what;
        ReplyShape shape;
        bool compare_payload;
        bool accepted;
    };
    const Case cases[] = {
        {"the reply", {}, false, true},
        {"bytes after the payload length", {.trailing = {1, 2, 3}}, false, true},
        {"the sized request's payload echoed", {.payload = request_payload}, true, true},
        {"a payload cut short", {.payload = Bytes(request_payload.begin(), request_payload.end() - 1)}, true, false},
        {"an echo request", {.type = 128}, false, false},
        {"code 1", {.code = 1}, false, false},
        {"another identifier", {.identifier = 0x0103}, false, false},
        {"another sequence", {.sequence = 4}, false, false},
        {"a wrong checksum", {.corrupt_checksum = true}, false, false},
        {"from another address", {.ip = {.source = router, .destination = client}}, false, false},
        {"to another address", {.ip = {.source = target, .destination = router}}, false, false},
        {"a hop-by-hop header first", {.ip = {.source = target, .destination = client, .next_header = 0}}, false, false},
        {"version 4", {.ip = {.source = target, .destination = client, .version = 4}}, false, false},
        {"a payload length past the bytes", {.ip = {.source = target, .destination = client, .payload_length_delta = 1}},
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes reply = reply_with(c.shape);
        EXPECT_EQ(is_icmpv6_echo_reply(reply, target, client, 0x0102, 3, c.compare_payload ? request : Bytes{}),
                  c.accepted);
    }
    const Bytes reply = reply_with({});
    EXPECT_FALSE(is_icmpv6_echo_reply(std::span(reply).first(47), target, client, 0x0102, 3));
}

TEST(Icmpv6PacketTooBig, ReadsTheMtuOfAQuoteOfOurEcho) {
    const Bytes request = icmpv6_sized_echo_request(client, target, 0x0102, 3, 1400, 0x22);
    const auto too_big = [&](std::size_t quoted_bytes, std::uint8_t type = 2, Ipv6Octets to = client,
                             bool corrupt = false) {
        Bytes message{type, 0, 0, 0, 0, 0, 0x05, 0x14};  // MTU 1300
        message.insert(message.end(), request.begin(), request.begin() + static_cast<std::ptrdiff_t>(quoted_bytes));
        return icmpv6_with({.source = router, .destination = to}, message, corrupt);
    };
    struct Case {
        const char* what;
        Bytes packet;
        std::uint16_t sequence;
        std::optional<std::uint32_t> mtu;
    };
    const Case cases[] = {
        {"as much of the request as fits in 1280 bytes", too_big(1280 - 48), 3, 1300},
        {"the quote cut after the echo header", too_big(48), 3, 1300},
        {"the quote cut inside the echo header", too_big(47), 3, std::nullopt},
        {"a quote of another echo", too_big(48), 4, std::nullopt},
        {"destination unreachable", too_big(48, 1), 3, std::nullopt},
        {"addressed to another host", too_big(48, 2, router), 3, std::nullopt},
        {"a wrong checksum", too_big(48, 2, client, true), 3, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(icmpv6_packet_too_big_mtu(c.packet, client, target, 0x0102, c.sequence), c.mtu);
    }
}

}  // namespace
}  // namespace quorlin
