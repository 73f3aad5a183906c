// TcpConnection against a scripted server, for what a real one will not do
// on demand: reorder, repeat, reset mid-stream, cross the sequence wrap, lose
// an ACK, close its window, send too much, stay silent. The wait for data ends
// at its deadline: the link's clock jumps there when nothing is left.

#include "probe/tcp_connection.hpp"

#include <gtest/gtest.h>

#include "probe/scripted_link.hpp"
#include "probe/tcp_send_queue.hpp"
#include "probe/tcp_sequence.hpp"

namespace quorlin {
namespace {

using namespace probe_testing;
using namespace std::chrono_literals;
using Failure = std::optional<TcpFailure::Kind>;

const Ipv4Address client_address{ScriptedLink::client};
const TcpTarget server_target{Ipv4Address{ScriptedLink::server}, ScriptedLink::port};
constexpr std::uint16_t our_mss = 1380;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A stream whose every byte says where it is.
std::string pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
    return text;
}

// Everything receive() gives until the FIN or a failure.
std::pair<std::string, Failure> read_all(TcpConnection& connection, ScriptedLink& link) {
    std::string got;
    std::vector<std::uint8_t> buffer(1000);
    for (;;) {
        const auto n = connection.receive(buffer, link.now() + 10s);
        if (!n) return {got, n.error().kind};
        if (*n == 0) return {got, std::nullopt};
        got.append(reinterpret_cast<const char*>(buffer.data()), *n);
    }
}

TEST(TcpOpen, ResendsTheSynWithBackoffUntilASynAckAResetOrTheDeadline) {
    const struct Case {
        const char* name;
        Clock::duration path_round_trip;
        int answer_syn;
        std::uint8_t answer;
        Clock::duration limit;
        Failure failure;
        std::vector<Clock::duration> syn_times;
    } cases[] = {
        {"answered at once", 0ms, 1, tcp_flag::syn | tcp_flag::ack, 10s, std::nullopt, {0s}},
        {"the third SYN answered", 0ms, 3, tcp_flag::syn | tcp_flag::ack, 10s, std::nullopt, {0s, 1s, 3s}},
        {"a slow path stretches the first wait", 1s, 2, tcp_flag::syn | tcp_flag::ack, 10s, std::nullopt, {0s, 1500ms}},
        {"a reset that acknowledges the SYN", 0ms, 2, tcp_flag::rst | tcp_flag::ack, 10s, TcpFailure::Kind::refused, {0s, 1s}},
        {"a reset without ACK is no answer", 0ms, 1, tcp_flag::rst, 2500ms, TcpFailure::Kind::no_answer, {0s, 1s}},
        {"a SYN without ACK is no answer", 0ms, 1, tcp_flag::syn, 2500ms, TcpFailure::Kind::no_answer, {0s, 1s}},
        {"silence until the deadline", 0ms, 0, 0, 8s, TcpFailure::Kind::no_answer, {0s, 1s, 3s, 7s}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLink link;
        link.answer_syn = c.answer_syn;
        link.syn_answer = c.answer;
        TcpConnection connection(link, client_address, server_target, our_mss);
        const auto opened = connection.open(link.now() + c.limit, c.path_round_trip);
        EXPECT_EQ(opened ? Failure{} : Failure{opened.error().kind}, c.failure);
        std::vector<Clock::duration> times;
        for (const SentSegment& syn : link.syns) {
            times.push_back(syn.at - link.start());
            EXPECT_EQ(syn.header.sequence, link.client_isn) << "every resend is the same SYN";
            EXPECT_EQ(syn.header.mss, our_mss);
        }
        EXPECT_EQ(times, c.syn_times);
        EXPECT_EQ(connection.syns_sent(), c.syn_times.size());
        EXPECT_GE(link.client_port, 32768);
        EXPECT_LE(link.client_port, 60999);
        // The SYN-ACK is acknowledged by what comes next; close() then resets.
        connection.close();
        connection.close();
        EXPECT_EQ(link.sent.size(), opened ? 1u : 0u);
        if (opened) {
            EXPECT_EQ(link.sent[0].header.flags, tcp_flag::rst);
            EXPECT_EQ(link.sent[0].header.sequence, link.client_isn + 1);
        }
    }
}

TEST(TcpReceive, DeliversTheStreamInOrderWhateverTheServerSends) {
    struct Segment {
        std::int64_t offset;
        std::string data;
        std::uint8_t flags = tcp_flag::ack;
        std::uint32_t acked = 7;  // "request"
    };
    constexpr std::uint8_t ack = tcp_flag::ack;
    constexpr std::uint8_t fin = tcp_flag::ack | tcp_flag::fin;
    const std::string big = pattern(300'000);
    std::vector<Segment> flood;
    for (std::size_t at = 0; at < big.size(); at += 1000) flood.push_back({static_cast<std::int64_t>(at), big.substr(at, 1000)});
    const struct Case {
        const char* name;
        std::uint32_t server_isn;
        std::vector<Segment> segments;
        std::string stream;
        Failure end;                              // nullopt: the FIN
        std::optional<std::vector<std::int64_t>> acks;  // of each ACK we sent, from the server's first byte
    } cases[] = {
        {"in order", 5000, {{0, "hello "}, {6, "world", fin}}, "hello world", std::nullopt, {{6, 12}}},
        {"reordered: the early segment is held", 5000, {{6, "world", fin}, {0, "hello "}}, "hello world", std::nullopt,
         {{0, 12}}},
        {"a duplicate", 5000, {{0, "hello "}, {0, "hello "}, {3, "lo world", fin}}, "hello world", std::nullopt,
         {{6, 6, 12}}},
        {"past the window", 5000, {{70'000, "x"}, {0, "ok", fin}}, "ok", std::nullopt, {{0, 3}}},
        {"acknowledging what was never sent", 5000, {{0, "no", ack, 1000}, {0, "ok", fin}}, "ok", std::nullopt, {{0, 3}}},
        {"no ACK flag", 5000, {{0, "no", 0}, {0, "ok", fin}}, "ok", std::nullopt, {{3}}},
        {"a reset mid-stream", 5000, {{0, "partial"}, {7, "", tcp_flag::rst}}, "partial", TcpFailure::Kind::reset, {{7}}},
        {"a reset off the next sequence is challenged", 5000, {{0, "ab"}, {5, "", tcp_flag::rst}, {2, "c", fin}}, "abc",
         std::nullopt, {{2, 2, 4}}},
        {"across the 2^32 wrap", 0xFFFF'FFF0, {{0, big.substr(0, 40)}, {40, big.substr(40, 20), fin}}, big.substr(0, 60),
         std::nullopt, {{40, 61}}},
        {"silence after some data", 5000, {{0, "12345"}}, "12345", TcpFailure::Kind::no_answer, {{5}}},
        {"past 256 KiB", 5000, flood, big.substr(0, tcp_receive_limit_bytes), TcpFailure::Kind::too_much_data,
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLink link(c.server_isn);
        TcpConnection connection(link, client_address, server_target, our_mss);
        ASSERT_TRUE(connection.open(link.now() + 10s, 0ms));
        ASSERT_TRUE(connection.send(bytes_of("request"), link.now() + 10s));
        for (const Segment& s : c.segments) link.deliver(s.offset, s.data, s.flags, s.acked);
        const auto [stream, end] = read_all(connection, link);
        EXPECT_EQ(stream, c.stream);
        EXPECT_EQ(end, c.end);
        EXPECT_EQ(connection.payload_bytes_received(), c.stream.size());
        if (end == TcpFailure::Kind::too_much_data) {
            EXPECT_EQ(link.sent.back().header.flags, tcp_flag::rst);
        }
        std::vector<std::int64_t> acks;
        for (std::size_t i = 1; i < link.sent.size(); ++i) {
            if (link.sent[i].header.has(tcp_flag::rst)) continue;
            acks.push_back(tcp_sequence::distance(c.server_isn + 1, link.sent[i].header.acknowledgment));
        }
        if (c.acks) {
            EXPECT_EQ(acks, *c.acks);
        }
        if (!end) {
            std::vector<std::uint8_t> buffer(10);
            EXPECT_EQ(connection.receive(buffer, link.now() + 1s), 0u) << "the FIN again";
        }
    }
}

// The server's ACK of our request is lost twice: the request goes again after
// RFC 6298's first second, then after two more.
TEST(TcpSend, RetransmitsUnacknowledgedDataOnTheTimerBackingOff) {
    ScriptedLink link;
    int copies = 0;
    link.react = [&copies](ScriptedLink& l, const SentSegment& s) {
        if (!s.payload.empty() && ++copies == 3) l.deliver(0, "answer", tcp_flag::ack | tcp_flag::fin, 7);
    };
    TcpConnection connection(link, client_address, server_target, our_mss);
    ASSERT_TRUE(connection.open(link.now() + 10s, 0ms));
    ASSERT_TRUE(connection.send(bytes_of("request"), link.now() + 10s));
    EXPECT_EQ(read_all(connection, link), std::make_pair(std::string("answer"), Failure{}));
    std::vector<Clock::duration> times;
    for (const SentSegment& s : link.sent) {
        if (s.payload.empty()) continue;
        EXPECT_EQ(s.header.sequence, link.client_isn + 1);
        EXPECT_EQ(std::string(s.payload.begin(), s.payload.end()), "request");
        times.push_back(s.at - link.start());
    }
    EXPECT_EQ(times, (std::vector<Clock::duration>{0s, 1s, 3s}));
}

// Segments of at most the peer's MSS, never past its window; a closed window
// is probed with one byte on the retransmission timer.
TEST(TcpSend, StaysWithinThePeersMssAndWindow) {
    ScriptedLink link;
    link.server_mss = 100;
    link.server_window = 250;
    TcpConnection connection(link, client_address, server_target, our_mss);
    ASSERT_TRUE(connection.open(link.now() + 10s, 0ms));
    const std::string request = pattern(1000);
    ASSERT_TRUE(connection.send(bytes_of(request), link.now() + 10s));
    using Sent = std::vector<std::pair<std::int64_t, std::size_t>>;  // offset, length
    const auto sent_since = [&](std::size_t from) {
        Sent segments;
        for (std::size_t i = from; i < link.sent.size(); ++i) {
            const SentSegment& s = link.sent[i];
            if (s.payload.empty()) continue;
            const std::int64_t offset = tcp_sequence::distance(link.client_isn + 1, s.header.sequence);
            EXPECT_EQ(std::string(s.payload.begin(), s.payload.end()), request.substr(offset, s.payload.size()));
            segments.push_back({offset, s.payload.size()});
        }
        return segments;
    };
    EXPECT_EQ(sent_since(0), (Sent{{0, 100}, {100, 100}, {200, 50}}));
    const struct Step {
        std::uint32_t acked;
        std::uint16_t window;
        Clock::duration wait;
        Sent sent;
    } steps[] = {
        {100, 50, 10ms, {}},  // a window that shrank below what is in flight
        {100, 250, 10ms, {{250, 100}}},
        {350, 0, 900ms, {}},
        {350, 0, 200ms, {{350, 1}}},  // the probe, a second after the window closed
        {351, 1000, 10ms, {{351, 100}, {451, 100}, {551, 100}, {651, 100}, {751, 100}, {851, 100}, {951, 49}}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE("after the ACK of " + std::to_string(step.acked));
        const std::size_t from = link.sent.size();
        link.deliver(0, "", tcp_flag::ack, step.acked, step.window);
        std::vector<std::uint8_t> buffer(10);
        const auto got = connection.receive(buffer, link.now() + step.wait);
        EXPECT_FALSE(got);
        EXPECT_EQ(sent_since(from), step.sent);
    }
}

TEST(TcpSendQueue, AcknowledgesAcrossTheWrapAndIgnoresWhatWasNeverSent) {
    TcpSendQueue queue(0xFFFF'FFF0, 1000, 0, 0xFFFF'FFF1);
    const std::vector<std::uint8_t> data(100, 7);
    queue.push(data);
    EXPECT_EQ(queue.next_segment(60)->sequence, 0xFFFF'FFF1u);
    EXPECT_EQ(queue.next_segment(60)->sequence, 0x2Du);
    using Ack = TcpSendQueue::Ack;
    const struct {
        std::uint32_t acknowledgment;
        Ack result;
        std::uint64_t unacknowledged;
    } steps[] = {
        {0xFFFF'FFF1 + 101, Ack::not_sent, 0}, {0xFFFF'FFF1 - 2000, Ack::too_old, 0}, {0x2D, Ack::advanced, 60},
        {0x2D, Ack::not_new, 60},              {0x55, Ack::advanced, 100},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(queue.acknowledge(0, step.acknowledgment, 1000), step.result) << step.acknowledgment;
        EXPECT_EQ(queue.unacknowledged_offset(), step.unacknowledged);
    }
    EXPECT_FALSE(queue.in_flight());
}

}  // namespace
}  // namespace quorlin
