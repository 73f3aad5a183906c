#include "probe/tcp_check.hpp"

#include "common/random.hpp"
#include "packet/tcp.hpp"

#include <algorithm>
#include <optional>
#include <string>

namespace quorlin {

namespace {

// Source ports, as for DNS queries: 32768 to 60999.
constexpr std::uint32_t source_port_base = 32768;
constexpr std::uint32_t source_port_span = 28232;
// The window a SYN offers; nothing is received past the handshake.
constexpr std::uint16_t receive_window = 64240;
// A datagram send does not wait on the path; this only bounds a full buffer.
constexpr std::chrono::milliseconds reset_send_limit{100};
constexpr std::string_view unanswered_prefix = "no valid matching reply";

std::string milliseconds(Clock::duration span) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(span).count()) + " ms";
}

}  // namespace

bool tcp_check(ProbeReport& report, const DataCheckContext& c, const Ipv4Address& source, const TcpTarget& target) {
    const std::uint32_t first = random_u32();
    const std::uint32_t initial_sequence = random_u32();
    const auto source_port = static_cast<std::uint16_t>(source_port_base + first % source_port_span);
    const auto ip_identification = static_cast<std::uint16_t>(random_u32());
    const std::string target_text = target.to_text();

    emit_start(c.run_start, c.sink, phase_name::tcp, target_text);
    const Instant check_start = Clock::now();
    ExchangeLimits limits = check_limits(c, check_start, c.plan.tcp_timeout);
    limits.retry_interval = std::max<Clock::duration>(tcp_initial_retransmission_timeout, c.path_round_trip * 3 / 2);
    limits.doubling = true;

    TcpHeader syn;
    syn.source_port = source_port;
    syn.destination_port = target.port;
    syn.sequence = initial_sequence;
    syn.flags = tcp_flag::syn;
    syn.window = receive_window;
    syn.mss = c.plan.tcp_mss();
    const std::uint32_t expected_ack = initial_sequence + 1;
    // Every try is the same SYN: an answer does not say which it is for.
    const ExchangeRequest request = same_packet_request(
        tcp_packet(source.octets, target.address.octets, ip_identification, syn),
        [&](std::span<const std::uint8_t> packet) -> std::optional<ExchangeRequest::Answer> {
            const auto segment = read_tcp(packet, target.address.octets, source.octets);
            if (!segment) return std::nullopt;
            const TcpHeader& got = segment->header;
            if (got.source_port != target.port || got.destination_port != source_port) return std::nullopt;
            // Only an answer that acknowledges our SYN is for this connection.
            if (!got.has(tcp_flag::ack) || got.acknowledgment != expected_ack) return std::nullopt;
            if (got.has(tcp_flag::rst)) return ExchangeRequest::Answer{{}, std::nullopt, std::nullopt, true};
            if (got.has(tcp_flag::syn)) return ExchangeRequest::Answer{};
            return std::nullopt;
        });
    const ExchangeOutcome outcome = exchange(c.socket, c.endpoint, c.tunnel, request, limits);
    PhaseResult result = check_phase(phase_name::tcp, target_text, check_start, outcome);
    result.subject = target_text;
    if (const ExchangeOutcome::Matched* match = outcome.match(); match && !match->refused) {
        // The server keeps a half-open connection until told: a reset at the
        // sequence number it expects frees it at once.
        TcpHeader reset;
        reset.source_port = source_port;
        reset.destination_port = target.port;
        reset.sequence = expected_ack;
        reset.flags = tcp_flag::rst;
        const auto sent = send_inner_packet(
            c.socket, c.tunnel,
            tcp_packet(source.octets, target.address.octets, static_cast<std::uint16_t>(ip_identification + 1), reset),
            Clock::now() + reset_send_limit);
        result.sent_bytes += sent.value_or(0);
        result.detail = "connection accepted (SYN-ACK)";
    } else if (match) {
        result.detail = "connection refused (RST)";
    } else if (result.status == PhaseStatus::unconfirmed && result.detail &&
               result.detail->starts_with(unanswered_prefix)) {
        // "no SYN-ACK or RST before the check deadline, after 3000 ms"
        result.detail = "no SYN-ACK or RST" + result.detail->substr(unanswered_prefix.size()) + ", after " +
                        milliseconds(result.elapsed);
    }
    const bool answered = result.status == PhaseStatus::passed;
    push_phase(report, c.run_start, c.sink, std::move(result));
    return answered;
}

}  // namespace quorlin
