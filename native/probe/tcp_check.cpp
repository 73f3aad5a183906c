#include "probe/tcp_check.hpp"

#include "probe/inner_link.hpp"
#include "probe/tcp_connection.hpp"

#include <string>

namespace quorlin {

namespace {

constexpr std::string_view unanswered_prefix = "no valid matching reply";

std::string milliseconds(Clock::duration span) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(span).count()) + " ms";
}

// Where the wait for an answer ends, and which limit that is: the session
// cannot carry an answer past its lifetime.
struct WaitEnd {
    Instant at;
    ExchangeOutcome::Limit limit;
};

WaitEnd wait_end(Instant deadline, ExchangeOutcome::Limit kind, Instant session_expiry) {
    if (session_expiry < deadline) return {session_expiry, ExchangeOutcome::Limit::session_lifetime};
    return {deadline, kind};
}

// When a later handshake response moved the tunnel to the session the peer
// keeps, every SYN before went on a session the peer had already replaced:
// the check's limit counts again from then (see ExchangeLimits).
std::optional<WaitEnd> restarted(const ExchangeLimits& limits, std::optional<Instant> new_session) {
    if (!new_session || limits.check_timeout.is_zero()) return std::nullopt;
    const Instant again = deadline(limits.overall_deadline, *new_session, limits.check_timeout);
    if (again <= limits.deadline) return std::nullopt;
    const auto kind = again == limits.overall_deadline ? ExchangeOutcome::Limit::overall_deadline
                                                       : ExchangeOutcome::Limit::check_deadline;
    return wait_end(again, kind, limits.session_expiry);
}

// The handshake's outcome in the terms every check reports in.
ExchangeOutcome outcome_of(const std::expected<Clock::duration, TcpFailure>& opened, const TcpConnection& connection,
                           const TunnelLink& link, ExchangeOutcome::Limit limit) {
    if (opened) {
        return ExchangeOutcome::matched({}, link.sent_bytes(), link.received_bytes(), *opened, connection.syns_sent());
    }
    switch (opened.error().kind) {
        case TcpFailure::Kind::refused: {
            ExchangeOutcome outcome =
                ExchangeOutcome::matched({}, link.sent_bytes(), link.received_bytes(),
                                         connection.syn_round_trip().value_or(Clock::duration{}), connection.syns_sent());
            std::get<ExchangeOutcome::Matched>(outcome.result).refused = true;
            return outcome;
        }
        case TcpFailure::Kind::no_answer: return ExchangeOutcome::no_match(limit, link.sent_bytes(), link.received_bytes());
        default: break;
    }
    return ExchangeOutcome::error(opened.error().detail, link.sent_bytes(), link.received_bytes());
}

}  // namespace

bool tcp_check(ProbeReport& report, const DataCheckContext& c, const Ipv4Address& source, const TcpTarget& target) {
    const std::string target_text = target.to_text();
    emit_start(c.run_start, c.sink, phase_name::tcp, target_text);
    const Instant check_start = Clock::now();
    const ExchangeLimits limits = check_limits(c, check_start, c.plan.tcp_timeout);

    TunnelLink link(c.socket, c.endpoint, c.tunnel);
    TcpConnection connection(link, source, target, c.plan.tcp_mss());
    WaitEnd end = wait_end(limits.deadline, limits.kind, limits.session_expiry);
    auto opened = connection.open(end.at, c.path_round_trip);
    while (!opened && opened.error().kind == TcpFailure::Kind::no_answer) {
        const auto again = restarted(limits, link.last_new_session());
        if (!again || again->at <= end.at) break;
        end = *again;
        opened = connection.open(end.at, c.path_round_trip);
    }
    const ExchangeOutcome outcome = outcome_of(opened, connection, link, end.limit);
    PhaseResult result = check_phase(phase_name::tcp, target_text, check_start, outcome);
    result.subject = target_text;
    if (opened) {
        // The server keeps a half-open connection until told: a reset at the
        // sequence number it expects frees it at once.
        connection.close();
        result.sent_bytes = link.sent_bytes();
        result.detail = "connection accepted (SYN-ACK)";
    } else if (opened.error().kind == TcpFailure::Kind::refused) {
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
