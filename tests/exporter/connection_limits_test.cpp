// Which connections the server keeps, on real sockets: a closed connection
// is one whose peer reads the end of the stream; the summary line of those
// closings, byte for byte; how a client is counted.
#include "exporter/client_address.hpp"
#include "exporter/closing_summary.hpp"
#include "exporter/connection_limits.hpp"

#include <arpa/inet.h>
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
        {"::1", {"::1", "::/64"}},
    };
    for (const auto& c : cases) {
        sockaddr_in6 v6{AF_INET6, 0, 0, {}, 0};
        sockaddr_in v4{AF_INET, 0, {}, {}};
        const bool is_v4 = ::inet_pton(AF_INET, c.address, &v4.sin_addr) == 1;
        ASSERT_TRUE(is_v4 || ::inet_pton(AF_INET6, c.address, &v6.sin6_addr) == 1);
        const ClientAddress got = client_address(is_v4 ? reinterpret_cast<const sockaddr*>(&v4)
                                                       : reinterpret_cast<const sockaddr*>(&v6));
        EXPECT_EQ(got.text + " " + got.key, c.expected.text + " " + c.expected.key);
    }
    EXPECT_EQ(client_address(nullptr).key, "?");
}

TEST(ClosingSummary, OneLinePerIntervalWithItsCounts) {
    ClosingSummary summary({5s, 1024, 64});
    const Instant t0{};
    summary.add(ClosedFor::late_request, "127.0.0.2", t0);
    summary.add(ClosedFor::room_at_cap, "127.0.0.2", t0 + 200ms);
    summary.add(ClosedFor::late_request, "127.0.0.3", t0 + 100ms);
    // A burst is told a second after its start, the next no sooner than an interval after.
    EXPECT_EQ(summary.line(t0 + 999ms), std::nullopt);
    EXPECT_EQ(summary.line(t0 + 1s),
              "closed 3 connections (most from 127.0.0.2: 2): 2 without a complete request within 5 s of "
              "connecting, 1 without a complete request, from the clients holding the most, to make room at the cap of "
              "1024 connections");
    for (const ClosedFor why : {ClosedFor::client_cap, ClosedFor::cap_full, ClosedFor::malformed}) {
        summary.add(why, "2001:db8::/64", t0 + 2s);
    }
    EXPECT_EQ(summary.line(t0 + 10s), std::nullopt);
    EXPECT_EQ(summary.line(t0 + 11s),
              "closed 3 connections (most from 2001:db8::/64: 3): 1 refused at the cap of 1024 connections, every "
              "one with a request in progress, 1 over the cap of 64 connections without a complete request per "
              "client address, 1 with a malformed or too large request");
    EXPECT_EQ(summary.next_due(), std::nullopt);
}

// A connected pair of stream sockets: the server's end and the client's.
struct Pair {
    std::array<int, 2> ends{-1, -1};
    Pair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends.data()); }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
    ~Pair() {
        for (const int end : ends) ::close(end);
    }
    int server() const { return ends[0]; }
    // Whether the client reads the end of the stream: the server's end was shut down.
    bool closed() const {
        char byte = 0;
        return ::recv(ends[1], &byte, 1, 0) == 0;
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
            auto* kept = limits.opened(pairs.back()->server(), {c.opened[i].first, c.opened[i].first},
                                       t0 + std::chrono::milliseconds(i));
            if (c.opened[i].second) limits.request_complete(kept);
        }
        for (std::size_t i = 0; i < pairs.size(); ++i) EXPECT_EQ(pairs[i]->closed(), c.closed[i]) << c.name << " " << i;
        EXPECT_EQ(limits.summary_line(t0 + 1h).value_or(""), c.summary) << c.name;
    }
}

// The server's idle timeout and ours end a silent connection at about the
// same moment: whichever comes first, it is counted once.
TEST(ConnectionLimits, ALateRequestClosedByBothTimeoutsCountsOnce) {
    const Instant t0{};
    ConnectionLimits limits({5s, 3, 2});
    Pair pair;
    auto* kept = limits.opened(pair.server(), {"a", "a"}, t0);
    limits.closed_by_server(kept, ClosedFor::late_request, t0 + 5s);
    EXPECT_EQ(limits.close_late(t0 + 5s + 1ms), std::nullopt);
    EXPECT_EQ(limits.kept(), 0u);
    limits.closed(kept);
    EXPECT_EQ(limits.summary_line(t0 + 1h).value_or(""),
              "closed 1 connection (most from a: 1): 1 without a complete request within 5 s of connecting");
}

}  // namespace
}  // namespace quorlin::exporter
