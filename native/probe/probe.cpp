#include "probe/probe.hpp"

#include "common/random.hpp"
#include "probe/data_checks.hpp"
#include "probe/resolve.hpp"
#include "probe/session.hpp"
#include "probe/udp_socket.hpp"

#include <optional>
#include <string>
#include <utility>

namespace quorlin {

namespace {

inline constexpr std::string_view no_addresses_message = "endpoint resolved to no addresses";
inline constexpr std::string_view socket_detail = "single connected UDP socket";
inline constexpr std::string_view handshake_detail = "authenticated WireGuard response";
inline constexpr std::string_view keepalive_detail = "initial encrypted keepalive sent; no acknowledgement expected";

PhaseResult unstamped(std::string_view phase, std::optional<std::string> target, PhaseStatus status,
                      std::string detail) {
    PhaseResult result;
    result.phase = std::string(phase);
    result.target = std::move(target);
    result.status = status;
    result.detail = std::move(detail);
    return result;
}

wireguard::Tunn create_tunnel(const ProbeConfig& config) {
    std::optional<wireguard::KeyView> preshared;
    if (config.preshared_key) preshared = config.preshared_key->view();
    return wireguard::Tunn(config.private_key.bytes(), config.peer_public_key, preshared, std::nullopt,
                           random_u32());
}

// The phases after validation. Returns with the report's verdict set; the
// socket and tunnel it creates die with this frame.
void run_phases(ProbeReport& report, const ProbePlan& plan, const EventSink& sink, Instant run_start,
                Instant overall_deadline) {
    // Endpoint resolution.
    emit_start(run_start, sink, phase_name::endpoint_resolution, plan.config.endpoint);
    Instant phase_start = Clock::now();
    ResolveOutcome resolved = resolve_endpoint(plan.config.endpoint, remaining_until(overall_deadline, phase_start));
    if (!resolved) {
        PhaseResult result = unstamped(phase_name::endpoint_resolution, std::nullopt, PhaseStatus::error,
                                       std::move(resolved.error()));
        result.duration_ms = millis(Clock::now() - phase_start);
        push_phase(report, run_start, sink, std::move(result));
        report.verdict = Verdict::local_error;
        return;
    }
    if (!resolved->has_value()) {
        push_phase(report, run_start, sink,
                   phase_error(phase_name::endpoint_resolution, std::nullopt, phase_start,
                               std::string(no_addresses_message)));
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
        PhaseResult result = unstamped(phase_name::socket, endpoint_text, PhaseStatus::error, std::move(opened.error()));
        result.duration_ms = millis(Clock::now() - phase_start);
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
    SessionOutcome session = establish_session(socket, endpoint, tunnel, handshake_deadline);
    if (auto* failure = std::get_if<HandshakeFailure>(&session)) {
        PhaseResult result = unstamped(phase_name::handshake, endpoint_text, failure->status, std::move(failure->message));
        result.duration_ms = millis(Clock::now() - phase_start);
        result.sent_bytes = failure->sent_bytes;
        result.received_bytes = failure->received_bytes;
        push_phase(report, run_start, sink, std::move(result));
        if (failure->status == PhaseStatus::error) report.verdict = Verdict::local_error;
        for (const Ipv4Address& target : plan.ping) {
            push_skipped(report, run_start, sink, phase_name::ping, target.to_text());
        }
        for (const std::string& name : plan.resolve) push_skipped(report, run_start, sink, phase_name::dns, name);
        return;
    }
    const SessionStart& start = std::get<SessionStart>(session);
    push_phase(report, run_start, sink,
               phase_passed(phase_name::handshake, endpoint_text, phase_start, start.handshake_sent_bytes,
                            start.handshake_received_bytes, std::string(handshake_detail)));

    // Keepalive: sent by the handshake itself; recorded here.
    emit_start(run_start, sink, phase_name::keepalive, endpoint_text);
    if (const auto* sent = std::get_if<KeepaliveSent>(&start.keepalive)) {
        PhaseResult result = unstamped(phase_name::keepalive, endpoint_text, PhaseStatus::sent, std::string(keepalive_detail));
        result.sent_bytes = sent->bytes;
        push_phase(report, run_start, sink, std::move(result));
    } else {
        push_phase(report, run_start, sink,
                   unstamped(phase_name::keepalive, endpoint_text, PhaseStatus::error,
                             std::get<KeepaliveFailed>(start.keepalive).message));
    }
    report.verdict = Verdict::authentication_confirmed;

    // Data-plane checks.
    const DataCheckContext context{socket,           endpoint, tunnel, plan, overall_deadline, run_start, sink,
                                   plan.inner_source_address(), plan.effective_dns_server()};
    if (run_data_checks(report, context)) report.verdict = Verdict::data_plane_confirmed;
}

}  // namespace

ProbeReport probe(ProbePlan plan, const EventSink& sink) {
    const Instant run_start = Clock::now();
    ProbeReport report(plan.config.endpoint, plan.config.client_public_key());

    if (auto valid = plan.validate(); !valid) {
        emit_start(run_start, sink, phase_name::validation, std::nullopt);
        push_phase(report, run_start, sink,
                   unstamped(phase_name::validation, std::nullopt, PhaseStatus::error, std::move(valid.error().message)));
        report.verdict = Verdict::local_error;
        finish_report(report, run_start);
        return report;
    }
    const Instant overall_deadline = checked_add(run_start, plan.overall_deadline).value_or(run_start);
    run_phases(report, plan, sink, run_start, overall_deadline);
    finish_report(report, run_start);
    return report;
}

}  // namespace quorlin
