#include "packet/tcp.hpp"

#include "packet/packet_test_util.hpp"

#include <gtest/gtest.h>

namespace quorlin {
namespace {

using test::Bytes;

const Ipv4Octets client{10, 0, 0, 2};
const Ipv4Octets server{10, 0, 0, 1};

TEST(TcpPacket, SynWithMssByteForByte) {
    // Checksums worked out apart from the code under test.
    const Bytes expected{0x45, 0x00, 0x00, 0x2C, 0x00, 0x00, 0x40, 0x00, 0x40, 0x06, 0x26, 0xCA, 0x0A, 0x00, 0x00,
                         0x02, 0x0A, 0x00, 0x00, 0x01, 0x9C, 0x40, 0x01, 0xBB, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00,
                         0x00, 0x00, 0x60, 0x02, 0xFA, 0xF0, 0xE7, 0x81, 0x00, 0x00, 0x02, 0x04, 0x05, 0x64};
    const TcpHeader syn{.source_port = 40000, .destination_port = 443, .sequence = 0x01020304,
                        .flags = tcp_flag::syn, .window = 64240, .mss = 1380};
    EXPECT_EQ(tcp_packet(client, server, 0, syn), expected);
}

// A segment from the server with a raw header: `offset_words` as written,
// `options` after the fixed 20 bytes, the checksum right unless told.
struct SegmentShape {
    test::Ipv4Shape ip{.source = server, .destination = client, .protocol = ip_protocol_tcp};
    std::uint8_t offset_words = 5;
    Bytes options;
    Bytes payload;
    bool corrupt_checksum = false;
    std::size_t cut_to = 0;  // keep only this many segment bytes when set
};

Bytes segment_with(const SegmentShape& shape) {
    Bytes segment{0x01, 0xBB, 0x9C, 0x40, 0, 0, 0, 1, 0, 0, 0, 2, 0, tcp_flag::ack, 0xFF, 0xFF, 0, 0, 0, 0};
    segment[12] = static_cast<std::uint8_t>(shape.offset_words << 4);
    test::append(segment, shape.options);
    test::append(segment, shape.payload);
    if (shape.cut_to != 0) segment.resize(shape.cut_to);
    std::uint16_t checksum = pseudo_header_checksum(shape.ip.source, shape.ip.destination, ip_protocol_tcp, segment);
    if (shape.corrupt_checksum) checksum ^= 0x0100;
    write_be16(segment, 16, checksum);
    return test::ipv4_with(shape.ip, segment);
}

TEST(ReadTcp, RefusesWhatIsNotAWellFormedSegmentForUs) {
    struct Case {
        const char* what;
        SegmentShape shape;
        bool accepted;
        std::optional<std::uint16_t> mss = std::nullopt;
    };
    const auto ip = [](auto change) {
        test::Ipv4Shape shape{.source = server, .destination = client, .protocol = ip_protocol_tcp};
        change(shape);
        return shape;
    };
    const Case cases[] = {
        {"plain segment", {}, true},
        {"MSS after padding", {.offset_words = 7, .options = {1, 1, 2, 4, 0x05, 0xB4, 0, 0}}, true, 1460},
        {"unknown option skipped", {.offset_words = 8, .options = {8, 6, 0, 0, 0, 0, 2, 4, 0x05, 0xB4, 0, 0}}, true, 1460},
        {"end of list stops the walk", {.offset_words = 6, .options = {0, 9, 9, 9}}, true},
        {"MSS of the wrong length ignored", {.offset_words = 6, .options = {2, 3, 5, 0}}, true},
        {"option length 0", {.offset_words = 6, .options = {8, 0, 0, 0}}, false},
        {"option length 1", {.offset_words = 6, .options = {8, 1, 0, 0}}, false},
        {"option past the header", {.offset_words = 6, .options = {8, 10, 0, 0}}, false},
        {"option kind as the last byte", {.offset_words = 6, .options = {1, 1, 1, 8}}, false},
        {"data offset below 5", {.offset_words = 4}, false},
        {"data offset past the segment", {.offset_words = 15}, false},
        {"shorter than a header", {.cut_to = 19}, false},
        {"bad checksum", {.corrupt_checksum = true}, false},
        {"UDP, not TCP", {.ip = ip([](auto& s) { s.protocol = ip_protocol_udp; })}, false},
        {"from another address", {.ip = ip([](auto& s) { s.source = {10, 0, 0, 9}; })}, false},
        {"to another address", {.ip = ip([](auto& s) { s.destination = {10, 0, 0, 9}; })}, false},
        {"a fragment", {.ip = ip([](auto& s) { s.flags_fragment = 0x2000; })}, false},
    };
    for (const Case& c : cases) {
        const Bytes packet = segment_with(c.shape);
        const auto got = read_tcp(packet, server, client);
        EXPECT_EQ(got.has_value(), c.accepted) << c.what;
        if (got) {
            EXPECT_EQ(got->header.mss, c.mss) << c.what;
        }
    }
}

}  // namespace
}  // namespace quorlin
