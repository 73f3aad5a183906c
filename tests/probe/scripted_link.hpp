#pragma once
// A server played from a script under a TcpConnection, on a clock of its own:
// a wait with nothing to deliver moves the clock to its end at once, so
// retransmission timers cost no real time. It answers SYNs as told, records
// every segment the connection sends, and lets a test react to each one.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "packet/tcp.hpp"
#include "probe/inner_link.hpp"

namespace quorlin::probe_testing {

struct SentSegment {
    TcpHeader header;
    std::vector<std::uint8_t> payload;
    Instant at;
};

class ScriptedLink final : public InnerLink {
public:
    static constexpr Ipv4Octets client{10, 0, 0, 2};
    static constexpr Ipv4Octets server{10, 0, 0, 1};
    static constexpr std::uint16_t port = 443;

    explicit ScriptedLink(std::uint32_t server_isn = 5000) : server_isn_(server_isn) {}

    // Which SYN (counted from 1) gets `syn_answer`'s flags back; 0: none.
    int answer_syn = 1;
    std::uint8_t syn_answer = tcp_flag::syn | tcp_flag::ack;
    std::uint16_t server_window = 65535;
    std::optional<std::uint16_t> server_mss;
    // Called with each segment the connection sends, after the SYNs.
    std::function<void(ScriptedLink&, const SentSegment&)> react;

    std::vector<SentSegment> sent;
    std::vector<SentSegment> syns;
    std::uint32_t client_isn = 0;
    std::uint16_t client_port = 0;

    // A server segment `offset` bytes into its stream, acknowledging
    // `acked` bytes of ours.
    void deliver(std::int64_t offset, std::string_view data, std::uint8_t flags = tcp_flag::ack,
                 std::uint32_t acked = 0, std::optional<std::uint16_t> window = std::nullopt) {
        TcpHeader h{port, client_port, static_cast<std::uint32_t>(server_isn_ + 1 + offset), client_isn + 1 + acked,
                    flags, window.value_or(server_window)};
        inbox_.push_back(tcp_packet(server, client, 1, h, std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size())));
    }

    std::expected<void, std::string> send(std::span<const std::uint8_t> packet, Instant) override {
        const auto segment = read_tcp(packet, client, server);
        if (!segment) return std::unexpected(std::string("the connection sent a malformed segment"));
        SentSegment s{segment->header, {segment->payload.begin(), segment->payload.end()}, now_};
        if (s.header.has(tcp_flag::syn)) {
            client_isn = s.header.sequence;
            client_port = s.header.source_port;
            syns.push_back(s);
            if (static_cast<int>(syns.size()) == answer_syn) {
                TcpHeader answer{port, client_port, server_isn_, client_isn + 1, syn_answer, server_window, server_mss};
                inbox_.push_back(tcp_packet(server, client, 1, answer));
            }
            return {};
        }
        sent.push_back(s);
        if (react) react(*this, sent.back());
        return {};
    }
    std::expected<std::optional<std::vector<std::uint8_t>>, std::string> receive(Instant until) override {
        if (inbox_.empty()) {
            now_ = std::max(now_, until);
            return std::nullopt;
        }
        auto packet = std::move(inbox_.front());
        inbox_.erase(inbox_.begin());
        return packet;
    }
    Instant now() const override { return now_; }
    Instant start() const { return start_; }

private:
    std::uint32_t server_isn_;
    std::vector<std::vector<std::uint8_t>> inbox_;
    Instant start_ = Clock::now();
    Instant now_ = start_;
};

}  // namespace quorlin::probe_testing
