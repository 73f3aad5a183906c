// Which connections the server keeps, on real sockets: a closed connection
// is one whose peer reads the end of the stream. And the one summary line
// those closings give, byte for byte.
#include "exporter/client_address.hpp"
#include "exporter/closing_summary.hpp"
#include "exporter/connection_limits.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quorlin::exporter {
namespace {

using namespace std::chrono_literals;

TEST(ClientAddress, TextAndKey) {
    const struct {
        const char* address;
        ClientAddress expected;
    } cases[] = {
        {"192.0.2.7", {"192.0.2.7", "192.0.2.7"}},
        {"::ffff:192.0.2.7", {"192.0.2.7", "192.0.2.7"}},  // IPv4 on a dual-stack listener
        {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", "2001:db8:1:2::/64"}},
        {"2001:db8:1:2::1", {"2001:db8:1:2::1", "2001:db8:1:2::/64"}},
        {"::1", {"::1", "::/64"}},
    };
    for (const auto& c : cases) {
        sockaddr_storage storage{};
        if (::inet_pton(AF_INET, c.address, &reinterpret_cast<sockaddr_in*>(&storage)->sin_addr) == 1) {
            storage.ss_family = AF_INET;
        } else {
            ASSERT_EQ(::inet_pton(AF_INET6, c.address, &reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr), 1);
            storage.ss_family = AF_INET6;
        }
        const ClientAddress got = client_address(reinterpret_cast<const sockaddr*>(&storage));
        EXPECT_EQ(got.text, c.expected.text) << c.address;
        EXPECT_EQ(got.key, c.expected.key) << c.address;
    }
    EXPECT_EQ(client_address(nullptr).key, "?");
}

TEST(ClosingSummary, OneLinePerIntervalWithItsCounts) {
    ClosingSummary summary({5s, 1024, 64});
    const Instant t0{};
    EXPECT_EQ(summary.next_due(), std::nullopt);
    summary.add(ClosedFor::late_request, "127.0.0.2", t0);
    summary.add(ClosedFor::late_request, "127.0.0.3", t0 + 100ms);
    summary.add(ClosedFor::room_at_cap, "127.0.0.2", t0 + 200ms);
    // A burst is told a second after its start.
    EXPECT_EQ(summary.line(t0 + 999ms), std::nullopt);
    EXPECT_EQ(summary.line(t0 + 1s),
              "closed 3 connections (most from 127.0.0.2: 2): 2 without a complete request within 5 s of "
              "connecting, 1 without a complete request, from the clients holding the most, to make room at the cap of "
              "1024 connections");
    // The next no sooner than an interval after.
    summary.add(ClosedFor::client_cap, "2001:db8::/64", t0 + 2s);
    summary.add(ClosedFor::cap_full, "2001:db8::/64", t0 + 2s);
    summary.add(ClosedFor::malformed, "192.0.2.1", t0 + 2s);
    EXPECT_EQ(summary.next_due(), t0 + 11s);
    EXPECT_EQ(summary.line(t0 + 10s), std::nullopt);
    EXPECT_EQ(summary.line(t0 + 11s),
              "closed 3 connections (most from 2001:db8::/64: 2): 1 refused at the cap of 1024 connections, every "
              "one with a request in progress, 1 over the cap of 64 connections without a complete request per "
              "client address, 1 with a malformed or too large request");
    EXPECT_EQ(summary.next_due(), std::nullopt);
    summary.add(ClosedFor::late_request, "192.0.2.1", t0 + 30s);
    EXPECT_EQ(summary.line(t0 + 31s),
              "closed 1 connection (most from 192.0.2.1: 1): 1 without a complete request within 5 s of connecting");
}

// A connected pair of TCP sockets on loopback: the server's end and the client's.
struct Pair {
    int server = -1;
    int client = -1;
    Pair() {
        int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listener);
        ::fcntl(client, F_SETFL, O_NONBLOCK);
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
    ~Pair() {
        ::close(server);
        ::close(client);
    }
    // Whether the client reads the end of the stream: the server's end was shut down.
    bool closed() const {
        char byte = 0;
        return ::recv(client, &byte, 1, 0) == 0;
    }
};

TEST(ConnectionLimits, WhichConnectionsAreClosed) {
    const Instant t0{};
    const struct {
        const char* name;
        // Per connection: its client key, and whether its request is complete.
        std::vector<std::pair<std::string, bool>> opened;
        std::vector<bool> closed;
        std::string summary;
    } cases[] = {
        {"under the caps", {{"a", false}, {"b", false}, {"a", false}}, {false, false, false}, ""},
        {"over one client's cap: the newest",
         {{"a", false}, {"a", false}, {"a", false}},
         {false, false, true},
         "closed 1 connection (most from a: 1): 1 over the cap of 2 connections without a complete request per "
         "client address"},
        {"a client's connections with a request do not count", {{"a", true}, {"a", false}, {"a", false}},
         {false, false, false}, ""},
        {"at the cap: the oldest without a complete request",
         {{"a", true}, {"b", false}, {"c", false}, {"d", false}},
         {false, true, false, false},
         "closed 1 connection (most from b: 1): 1 without a complete request, from the clients holding the most, to "
         "make room at the cap of 3 connections"},
        {"at the cap: the oldest of the client holding the most",
         {{"a", false}, {"b", false}, {"b", false}, {"c", false}},
         {false, true, false, false},
         "closed 1 connection (most from b: 1): 1 without a complete request, from the clients holding the most, to "
         "make room at the cap of 3 connections"},
        {"at the cap with every request in progress: the newest",
         {{"a", true}, {"b", true}, {"c", true}, {"d", false}},
         {false, false, false, true},
         "closed 1 connection (most from d: 1): 1 refused at the cap of 3 connections, every one with a request in "
         "progress"},
    };
    for (const auto& c : cases) {
        ConnectionLimits limits({5s, 3, 2});
        std::vector<std::unique_ptr<Pair>> pairs;
        for (std::size_t i = 0; i < c.opened.size(); ++i) {
            pairs.push_back(std::make_unique<Pair>());
            auto* kept = limits.opened(pairs.back()->server, {c.opened[i].first, c.opened[i].first},
                                       t0 + std::chrono::milliseconds(i));
            if (c.opened[i].second) limits.request_complete(kept);
        }
        for (std::size_t i = 0; i < pairs.size(); ++i) EXPECT_EQ(pairs[i]->closed(), c.closed[i]) << c.name << " " << i;
        EXPECT_EQ(limits.summary_line(t0 + 1h).value_or(""), c.summary) << c.name;
    }
}

TEST(ConnectionLimits, RequestTimeCountsFromConnectingAndRoomIsMadeAgain) {
    ConnectionLimits limits({5s, 2, 2});
    const Instant t0{};
    Pair slow;
    Pair done;
    ConnectionLimits::Connection* slow_kept = limits.opened(slow.server, {"a", "a"}, t0);
    limits.request_complete(limits.opened(done.server, {"a", "a"}, t0 + 1s));
    // Bytes now and then change nothing: only a complete request does.
    EXPECT_EQ(limits.close_late(t0 + 4999ms), t0 + 5s);
    EXPECT_FALSE(slow.closed());
    EXPECT_EQ(limits.close_late(t0 + 5s), std::nullopt);
    EXPECT_TRUE(slow.closed());
    EXPECT_FALSE(done.closed());
    EXPECT_EQ(limits.kept(), 1u);
    // Its record stays until the server lets it go; the client's count is free at once.
    Pair next;
    limits.opened(next.server, {"a", "a"}, t0 + 6s);
    EXPECT_FALSE(next.closed());
    limits.closed(slow_kept);
    EXPECT_EQ(limits.kept(), 2u);
    EXPECT_EQ(limits.summary_line(t0 + 7s),
              "closed 1 connection (most from a: 1): 1 without a complete request within 5 s of connecting");
}

}  // namespace
}  // namespace quorlin::exporter
