#include "probe/probe.hpp"

#include "common/os_error.hpp"
#include "common/random.hpp"
#include "probe/data_checks.hpp"
#include "probe/key_turn.hpp"
#include "probe/resolve.hpp"
#include "probe/session.hpp"
#include "probe/udp_socket.hpp"
#include "wireguard/session.hpp"

#include <optional>
#include <string>
#include <utility>

namespace quorlin {

namespace {

inline constexpr std::string_view no_addresses_message = "endpoint resolved to no addresses";
inline constexpr std::string_view socket_detail = "single connected UDP socket";
inline constexpr std::string_view handshake_detail = "authenticated WireGuard response";
inline constexpr std::string_view keepalive_detail = "initial encrypted keepalive sent; no acknowledgement expected";

wireguard::Tunn create_tunnel(const ProbeConfig& config) {
    std::optional<wireguard::KeyView> preshared;
    if (config.preshared_key) preshared = config.preshared_key->view();
    return wireguard::Tunn({config.private_key.bytes(), config.private_key.public_key()}, config.peer_public_key,
                           preshared, std::nullopt, random_u32());
}

// The key's turn when the plan asks for one; nothing to hold otherwise.
std::expected<std::optional<KeyTurn>, std::string> take_turn_if_asked(const ProbePlan& plan, Instant until) {
    if (!plan.take_key_turn) return std::nullopt;
    auto turn = take_key_turn(KeyIdentity{plan.config.private_key.public_key(), plan.config.peer_public_key}, until);
    if (!turn) return std::unexpected(std::move(turn.error()));
    return std::optional<KeyTurn>(std::move(*turn));
}

// The phases after validation. Returns with the report's verdict set; the
// socket and tunnel it creates die with this frame.
void run_phases(ProbeReport& report, const ProbePlan& plan, const EventSink& sink, Instant run_start,
                Instant overall_deadline) {
    // Endpoint resolution.
    emit_start(run_start, sink, phase_name::endpoint_resolution, plan.config.endpoint);
    Instant phase_start = Clock::now();
    ResolveOutcome resolved = resolve_endpoint(plan.config.endpoint, remaining_until(overall_deadline, phase_start));
    if (!resolved || !resolved->has_value()) {
        ResolveError error = resolved ? ResolveError{std::string(no_addresses_message), std::nullopt}
                                      : std::move(resolved.error());
        PhaseResult result =
            phase_error(phase_name::endpoint_resolution, std::nullopt, phase_start, std::move(error.message));
        result.cause = error.cause;
        push_phase(report, run_start, sink, std::move(result));
        report.verdict = Verdict::local_error;
        return;
    }
    const SocketAddress endpoint = **resolved;
    const std::string endpoint_text = endpoint.to_text();
    report.resolved_endpoint = endpoint;
    push_phase(report, run_start, sink,
               phase_passed(phase_name::endpoint_resolution, endpoint_text, phase_start, 0, 0, std::nullopt));

    // Socket.
    emit_start(run_start, sink, phase_name::socket, endpoint_text);
    phase_start = Clock::now();
    auto opened = open_probe_socket(endpoint);
    if (!opened) {
        PhaseResult result = phase_error(phase_name::socket, endpoint_text, phase_start, os_error_text(opened.error()));
        result.cause = FailureCause{FailureCause::Kind::os_error, opened.error()};
        push_phase(report, run_start, sink, std::move(result));
        report.verdict = Verdict::local_error;
        return;
    }
    UdpSocket socket = std::move(*opened);
    std::optional<std::string> local_text;
    if (const auto local = local_address(socket)) {
        report.local_udp_address = *local;
        local_text = local->to_text();
    }
    push_phase(report, run_start, sink,
               phase_passed(phase_name::socket, std::move(local_text), phase_start, 0, 0, std::string(socket_detail)));

    // Handshake.
    wireguard::Tunn tunnel = create_tunnel(plan.config);
    emit_start(run_start, sink, phase_name::handshake, endpoint_text);
    phase_start = Clock::now();
    const Instant handshake_deadline = deadline(overall_deadline, phase_start, plan.handshake_timeout);
    auto turn = take_turn_if_asked(plan, handshake_deadline);
    SessionOutcome session = turn ? establish_session(socket, endpoint, tunnel, handshake_deadline)
                                  : SessionOutcome(HandshakeFailure{std::move(turn.error()), 0, 0,
                                                                    PhaseStatus::error, std::nullopt});
    if (auto* failure = std::get_if<HandshakeFailure>(&session)) {
        PhaseResult result = phase_error(phase_name::handshake, endpoint_text, phase_start, std::move(failure->message));
        result.status = failure->status;
        result.sent_bytes = failure->sent_bytes;
        result.received_bytes = failure->received_bytes;
        result.cause = failure->cause;
        push_phase(report, run_start, sink, std::move(result));
        if (failure->status == PhaseStatus::error) report.verdict = Verdict::local_error;
        for (const Ipv4Address& target : plan.ping) {
            for (std::uint32_t k = 0; k < plan.ping_count; ++k) {
                push_skipped(report, run_start, sink, phase_name::ping, target.to_text());
            }
        }
        for (const std::string& name : plan.resolve) push_skipped(report, run_start, sink, phase_name::dns, name);
        if (plan.mtu_check) push_skipped(report, run_start, sink, phase_name::path_mtu, plan.ping.front().to_text());
        return;
    }
    const SessionStart& start = std::get<SessionStart>(session);
    push_phase(report, run_start, sink,
               phase_passed(phase_name::handshake, endpoint_text, phase_start, start.handshake_sent_bytes,
                            start.handshake_received_bytes, std::string(handshake_detail)));

    // Keepalive: sent by the handshake itself; recorded here, with no duration of its own.
    emit_start(run_start, sink, phase_name::keepalive, endpoint_text);
    PhaseResult keepalive{std::string(phase_name::keepalive), endpoint_text, PhaseStatus::sent, 0, 0, 0, std::nullopt};
    if (const auto* sent = std::get_if<KeepaliveSent>(&start.keepalive)) {
        keepalive.sent_bytes = sent->bytes;
        keepalive.detail = std::string(keepalive_detail);
    } else {
        keepalive.status = PhaseStatus::error;
        keepalive.detail = std::get<KeepaliveFailed>(start.keepalive).message;
    }
    push_phase(report, run_start, sink, std::move(keepalive));
    report.verdict = Verdict::authentication_confirmed;

    // Data-plane checks.
    const Instant session_expiry = start.established + wireguard::reject_after_time;
    const DataCheckContext context{socket, endpoint, tunnel, plan, overall_deadline, session_expiry, run_start, sink};
    if (run_data_checks(report, context)) report.verdict = Verdict::data_plane_confirmed;
}

}  // namespace

ProbeReport probe(ProbePlan plan, const EventSink& sink) {
    const Instant run_start = Clock::now();
    ProbeReport report(plan.config.endpoint, plan.config.client_public_key());

    if (auto valid = plan.validate(); valid) {
        const Instant overall_deadline = checked_add(run_start, plan.overall_deadline).value_or(run_start);
        run_phases(report, plan, sink, run_start, overall_deadline);
    } else {
        emit_start(run_start, sink, phase_name::validation, std::nullopt);
        push_phase(report, run_start, sink,
                   PhaseResult{std::string(phase_name::validation), std::nullopt, PhaseStatus::error, 0, 0, 0,
                               std::move(valid.error().message)});
        report.verdict = Verdict::local_error;
    }
    finish_report(report, run_start);
    return report;
}

}  // namespace quorlin
