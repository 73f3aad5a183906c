#include "wireguard/session.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "wireguard/inner_packet.hpp"
#include "wireguard/messages.hpp"
#include "wireguard/test_support.hpp"

namespace quorlin::wireguard {
namespace {

using Outcome = std::optional<WireGuardError>;
constexpr Outcome accepted = std::nullopt;

// Feeds counters through check-then-mark, as the receive path does.
Outcome receive(ReplayWindow& window, std::uint64_t counter) {
    const Outcome outcome = window.check(counter);
    if (!outcome) window.mark(counter);
    return outcome;
}

TEST(ReplayWindow, AgreesWithASetOfSeenCounters) {
    // Reordered arrivals, duplicates, the window's edge and jumps past it,
    // checked against the plain rule.
    std::mt19937_64 random(12345);
    ReplayWindow window;
    std::set<std::uint64_t> seen;
    std::uint64_t greatest = 0;
    for (int i = 0; i < 20000; ++i) {
        std::uint64_t counter;
        const auto pick = random() % 10;
        if (pick == 0) {
            counter = greatest + random() % 3000;
        } else if (seen.empty() || pick < 4) {
            counter = greatest + random() % 70;
        } else {
            counter = greatest - std::min<std::uint64_t>(greatest, random() % 2200);
        }
        Outcome expected = accepted;
        if (!seen.empty() && counter + ReplayWindow::window_size <= greatest) {
            expected = WireGuardError::InvalidCounter;
        } else if (seen.count(counter)) {
            expected = WireGuardError::DuplicateCounter;
        }
        ASSERT_EQ(receive(window, counter), expected) << "step " << i << ", counter " << counter;
        if (!expected) {
            seen.insert(counter);
            greatest = std::max(greatest, counter);
        }
    }
}

TEST(ReplayWindow, FirstCounterOnceAndNothingAtTheMessageLimit) {
    ReplayWindow window;
    EXPECT_EQ(receive(window, 0), accepted);
    EXPECT_EQ(receive(window, 0), WireGuardError::DuplicateCounter);
    EXPECT_EQ(receive(window, reject_after_messages - 1), accepted);
    EXPECT_EQ(receive(window, reject_after_messages), WireGuardError::InvalidCounter);
    EXPECT_EQ(receive(window, UINT64_MAX), WireGuardError::InvalidCounter);
}

TransportKeys keys(std::uint8_t send_byte, std::uint8_t receive_byte, std::uint32_t local, std::uint32_t remote) {
    TransportKeys k;
    k.local_index = local;
    k.remote_index = remote;
    std::array<std::uint8_t, 32> send{}, recv{};
    send.fill(send_byte);
    recv.fill(receive_byte);
    k.sending_key.assign(send);
    k.receiving_key.assign(recv);
    return k;
}

TEST(Session, MessageLayoutPaddingAndRoundTrip) {
    const Instant start = Clock::now();
    Session alice(keys(1, 2, 0x11111111, 0x22222222), start);
    Session bob(keys(2, 1, 0x22222222, 0x11111111), start);
    struct Case {
        std::size_t payload_bytes;
        std::size_t message_bytes;
    };
    const Case cases[] = {{0, 32}, {1, 48}, {15, 48}, {16, 48}, {17, 64}, {1420, 1456}};
    std::uint64_t counter = 0;
    for (const Case& c : cases) {
        std::vector<std::uint8_t> payload(c.payload_bytes, 0x5a);
        std::vector<std::uint8_t> message(2000), plain(2000);
        auto size = alice.seal(payload, message);
        ASSERT_TRUE(size) << c.payload_bytes;
        EXPECT_EQ(*size, c.message_bytes);
        EXPECT_EQ(transport_message_size(c.payload_bytes), c.message_bytes);
        // type 4, receiver = the peer's index, counter little-endian
        EXPECT_EQ(testing::to_hex(std::span(message).first(16)),
                  "04000000" "22222222" + testing::to_hex(std::array<std::uint8_t, 8>{
                                              static_cast<std::uint8_t>(counter), 0, 0, 0, 0, 0, 0, 0}));
        auto opened = bob.open(std::span(message).first(*size), plain, start);
        ASSERT_TRUE(opened);
        ASSERT_EQ(opened->size(), c.message_bytes - 32);
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), opened->begin()));
        EXPECT_TRUE(std::all_of(opened->begin() + static_cast<std::ptrdiff_t>(c.payload_bytes), opened->end(),
                                [](std::uint8_t b) { return b == 0; }))
            << "padding is zeros";
        ++counter;
    }
}

TEST(Session, IsNotUsedPastRejectAfterTime) {
    const Instant start = Clock::now();
    Session alice(keys(1, 2, 1, 2), start);
    Session bob(keys(2, 1, 2, 1), start);
    std::vector<std::uint8_t> message(64), plain(64);
    const auto size = *alice.seal(std::span<const std::uint8_t>(), message);
    EXPECT_FALSE(alice.expired(start + reject_after_time - std::chrono::nanoseconds(1)));
    EXPECT_TRUE(alice.expired(start + reject_after_time));
    EXPECT_EQ(bob.open(std::span(message).first(size), plain, start + reject_after_time).error(),
              WireGuardError::ConnectionExpired);
    EXPECT_TRUE(bob.open(std::span(message).first(size), plain, start + std::chrono::seconds(179)));
}

std::vector<std::uint8_t> ipv4_header(std::uint8_t version_ihl, std::uint16_t total_length) {
    std::vector<std::uint8_t> p(20, 0);
    p[0] = version_ihl;
    p[2] = static_cast<std::uint8_t>(total_length >> 8);
    p[3] = static_cast<std::uint8_t>(total_length);
    p[12] = 10, p[13] = 0, p[14] = 0, p[15] = 2;
    return p;
}

TEST(InnerPacket, TrimsToTheIpLengthOrRefuses) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> plaintext;
        std::optional<std::size_t> trimmed;  // absent: InvalidPacket
    };
    auto padded = [](std::vector<std::uint8_t> p, std::size_t size) {
        p.resize(size, 0);
        return p;
    };
    std::vector<std::uint8_t> ipv6(48, 0);
    ipv6[0] = 0x60;
    ipv6[5] = 4;  // payload length 4
    ipv6[8] = 0xfd;
    ipv6[23] = 1;
    auto ipv6_too_long = ipv6;
    ipv6_too_long[5] = 9;
    const Case cases[] = {
        {"IPv4 with padding", padded(ipv4_header(0x45, 28), 32), 28},
        {"IPv4 exact", padded(ipv4_header(0x45, 21), 21), 21},
        {"IPv4 with options", padded(ipv4_header(0x46, 24), 32), 24},
        {"IPv4 total beyond the data", padded(ipv4_header(0x45, 33), 32), std::nullopt},
        {"IPv4 total below its header", padded(ipv4_header(0x46, 20), 32), std::nullopt},
        {"IPv4 header length below 20", padded(ipv4_header(0x44, 20), 32), std::nullopt},
        {"IPv4 shorter than a header", padded(ipv4_header(0x45, 19), 19), std::nullopt},
        {"IPv6 with padding", ipv6, 44},
        {"IPv6 payload beyond the data", ipv6_too_long, std::nullopt},
        {"IPv6 shorter than a header", padded(ipv6, 39), std::nullopt},
        {"version 5", padded({0x55}, 32), std::nullopt},
        {"zeros", std::vector<std::uint8_t>(16, 0), std::nullopt},
    };
    for (const Case& c : cases) {
        auto bytes = c.plaintext;
        auto packet = read_inner_packet(bytes);
        if (!c.trimmed) {
            ASSERT_FALSE(packet) << c.name;
            EXPECT_EQ(packet.error(), WireGuardError::InvalidPacket) << c.name;
            continue;
        }
        ASSERT_TRUE(packet) << c.name;
        EXPECT_EQ(packet->bytes.size(), *c.trimmed) << c.name;
        EXPECT_EQ(packet->bytes.data(), bytes.data()) << c.name;
    }
    auto v4 = padded(ipv4_header(0x45, 20), 32);
    EXPECT_EQ(testing::to_hex(read_inner_packet(v4)->source.octets()), "0a000002");
    EXPECT_EQ(testing::to_hex(read_inner_packet(ipv6)->source.octets()), "fd000000000000000000000000000001");
    EXPECT_FALSE(read_inner_packet(ipv6)->source.is_v4());
}

}  // namespace
}  // namespace quorlin::wireguard
