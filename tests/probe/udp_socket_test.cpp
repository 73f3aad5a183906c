#include "probe/udp_socket.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace quorlin {
namespace {

using namespace std::chrono_literals;

// A bound UDP socket on 127.0.0.1 that the test owns: a peer that never answers.
struct LoopbackListener {
    int fd = -1;
    std::uint16_t port = 0;
    LoopbackListener() {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~LoopbackListener() { ::close(fd); }
    SocketAddress address() const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        return SocketAddress(a);
    }
};

TEST(UdpSocket, OpensConnectedToTheEndpointFromAnEphemeralLocalPort) {
    LoopbackListener listener;
    auto socket = open_probe_socket(listener.address());
    ASSERT_TRUE(socket.has_value()) << socket.error();
    const auto local = local_address(*socket);
    ASSERT_TRUE(local.has_value());
    ASSERT_TRUE(local->is_ipv4());
    EXPECT_NE(local->ipv4()->sin_port, 0);
    EXPECT_EQ(local->to_text().rfind("127.0.0.1:", 0), 0u);
}

TEST(UdpSocket, SendsOneDatagramAndReceivesTheAnswer) {
    LoopbackListener listener;
    auto socket = open_probe_socket(listener.address());
    ASSERT_TRUE(socket.has_value());
    const std::uint8_t payload[5] = {1, 2, 3, 4, 5};
    const auto sent = send(*socket, payload, Clock::now() + 1s);
    ASSERT_EQ(sent.kind, IoOutcome::Kind::done);
    EXPECT_EQ(sent.bytes, 5u);

    sockaddr_storage from{};
    socklen_t from_length = sizeof from;
    std::uint8_t echoed[16];
    const ssize_t n = ::recvfrom(listener.fd, echoed, sizeof echoed, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
    ASSERT_EQ(n, 5);
    ::sendto(listener.fd, echoed, 3, 0, reinterpret_cast<sockaddr*>(&from), from_length);

    std::vector<std::uint8_t> buffer(kDatagramBufferBytes);
    const auto received = recv(*socket, buffer, Clock::now() + 1s);
    ASSERT_EQ(received.kind, IoOutcome::Kind::done);
    EXPECT_EQ(received.bytes, 3u);
}

TEST(UdpSocket, DeadlinesEndWaitsWithoutAnError) {
    LoopbackListener listener;
    auto socket = open_probe_socket(listener.address());
    ASSERT_TRUE(socket.has_value());
    std::vector<std::uint8_t> buffer(kDatagramBufferBytes);
    const std::uint8_t payload[1] = {0};

    // Already passed: nothing is sent or received.
    EXPECT_EQ(send(*socket, payload, Clock::now() - 1ms).kind, IoOutcome::Kind::deadline);
    EXPECT_EQ(recv(*socket, buffer, Clock::now()).kind, IoOutcome::Kind::deadline);

    // A silent peer: the receive time-out fires near the deadline (bounded generously).
    const Instant start = Clock::now();
    EXPECT_EQ(recv(*socket, buffer, start + 50ms).kind, IoOutcome::Kind::deadline);
    EXPECT_GE(Clock::now() - start, 45ms);
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST(UdpSocket, ClosedPortIsReportedAsConnectionRefused) {
    SocketAddress closed = [] {
        LoopbackListener listener;  // take a free port, then release it
        return listener.address();
    }();
    auto socket = open_probe_socket(closed);
    ASSERT_TRUE(socket.has_value());
    const std::uint8_t payload[1] = {0};
    ASSERT_EQ(send(*socket, payload, Clock::now() + 1s).kind, IoOutcome::Kind::done);
    std::vector<std::uint8_t> buffer(kDatagramBufferBytes);
    const auto received = recv(*socket, buffer, Clock::now() + 2s);
    ASSERT_EQ(received.kind, IoOutcome::Kind::failed);
    EXPECT_EQ(received.error_text, "Connection refused (os error 111)");
}

TEST(UdpSocket, IPv6EndpointBindsTheIPv6UnspecifiedAddress) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = htons(9);
    auto socket = open_probe_socket(SocketAddress(v6));
    if (!socket) GTEST_SKIP() << "no IPv6 loopback here: " << socket.error();
    const auto local = local_address(*socket);
    ASSERT_TRUE(local.has_value());
    EXPECT_FALSE(local->is_ipv4());
    EXPECT_EQ(local->to_text().rfind("[::1]:", 0), 0u);
}

}  // namespace
}  // namespace quorlin
