// The probe socket on its own: connected from an ephemeral port of the
// endpoint's family, one datagram per call, and waits that end at the
// deadline. Refused ports and passed deadlines are covered where the handshake
// and the exchange meet them (session and probe tests).

#include "probe/udp_socket.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "peer/scripted_peer.hpp"

namespace quorlin {
namespace {

using namespace std::chrono_literals;

TEST(UdpSocket, ConnectedRoundTripAndABoundedWait) {
    auto peer = peer::ScriptedPeer::open(AF_INET);
    ASSERT_TRUE(peer) << peer.error();
    auto socket = open_probe_socket(peer->address());
    ASSERT_TRUE(socket) << socket.error();
    const auto local = local_address(*socket);
    ASSERT_TRUE(local);
    EXPECT_NE(local->ipv4()->sin_port, 0);
    EXPECT_EQ(local->to_text().rfind("127.0.0.1:", 0), 0u) << local->to_text();

    const std::uint8_t payload[5] = {1, 2, 3, 4, 5};
    const IoOutcome sent = send(*socket, payload, Clock::now() + 1s);
    ASSERT_EQ(sent.kind, IoOutcome::Kind::done);
    EXPECT_EQ(sent.bytes, 5u);
    auto arrived = peer->receive(1000ms);
    ASSERT_TRUE(arrived && *arrived);
    EXPECT_EQ((*arrived)->from.to_text(), local->to_text());
    ASSERT_TRUE(peer->send_to(std::span(payload, 3), (*arrived)->from));

    std::vector<std::uint8_t> buffer(kDatagramBufferBytes);
    const IoOutcome received = recv(*socket, buffer, Clock::now() + 1s);
    ASSERT_EQ(received.kind, IoOutcome::Kind::done);
    EXPECT_EQ(received.bytes, 3u);

    // Nothing more comes: the receive time-out ends the wait at the deadline
    // (the upper bound only catches a hang).
    const Instant start = Clock::now();
    EXPECT_EQ(recv(*socket, buffer, start + 50ms).kind, IoOutcome::Kind::deadline);
    EXPECT_GE(Clock::now() - start, 45ms);
    EXPECT_LT(Clock::now() - start, 5s);
}

}  // namespace
}  // namespace quorlin
