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
    auto turn = take_key_turn(key_identity(plan.config), until);
    if (!turn) return std::unexpected(std::move(turn.error()));
    return std::optional<KeyTurn>(std::move(*turn));
}

// What every phase of one run records into.
struct PhaseRun {
    ProbeReport& report;
    const ProbePlan& plan;
    const EventSink& sink;
    Instant run_start;
    Instant overall_deadline;

    void record(PhaseResult result) const { push_phase(report, run_start, sink, std::move(result)); }
    void announce(std::string_view phase, std::optional<std::string_view> target) const {
        emit_start(run_start, sink, phase, target);
    }
    // A failure of this machine's side ends the run.
    void fail(PhaseResult result) const {
        record(std::move(result));
        report.verdict = Verdict::local_error;
    }
};

// The endpoint's address, or nothing: the run ends.
std::optional<SocketAddress> resolution_phase(const PhaseRun& run) {
    run.announce(phase_name::endpoint_resolution, run.plan.config.endpoint);
    const Instant phase_start = Clock::now();
    ResolveOutcome resolved =
        resolve_endpoint(run.plan.config.endpoint, remaining_until(run.overall_deadline, phase_start));
    if (!resolved || !resolved->has_value()) {
        ResolveError error = resolved ? ResolveError{std::string(no_addresses_message), std::nullopt}
                                      : std::move(resolved.error());
        PhaseResult result =
            phase_error(phase_name::endpoint_resolution, std::nullopt, phase_start, std::move(error.message));
        result.cause = error.cause;
        run.fail(std::move(result));
        return std::nullopt;
    }
    const SocketAddress endpoint = **resolved;
    run.report.resolved_endpoint = endpoint;
    run.record(phase_passed(phase_name::endpoint_resolution, endpoint.to_text(), phase_start, 0, 0, std::nullopt));
    return endpoint;
}

// The run's one socket, connected to the endpoint, or nothing: the run ends.
std::optional<UdpSocket> socket_phase(const PhaseRun& run, const SocketAddress& endpoint,
                                      const std::string& endpoint_text) {
    run.announce(phase_name::socket, endpoint_text);
    const Instant phase_start = Clock::now();
    auto opened = open_probe_socket(endpoint);
    if (!opened) {
        PhaseResult result = phase_error(phase_name::socket, endpoint_text, phase_start, os_error_text(opened.error()));
        result.cause = FailureCause{FailureCause::Kind::os_error, opened.error()};
        run.fail(std::move(result));
        return std::nullopt;
    }
    std::optional<std::string> local_text;
    if (const auto local = local_address(*opened)) {
        run.report.local_udp_address = *local;
        local_text = local->to_text();
    }
    run.record(phase_passed(phase_name::socket, std::move(local_text), phase_start, 0, 0, std::string(socket_detail)));
    return std::move(*opened);
}

// The authenticated session, or nothing: the handshake failed and the data
// checks asked are recorded as skipped. The key's turn, when the plan asks
// for one, is taken first and left in `turn`, to be held to the run's end.
std::optional<SessionStart> handshake_phase(const PhaseRun& run, UdpSocket& socket, const SocketAddress& endpoint,
                                            wireguard::Tunn& tunnel, const std::string& endpoint_text,
                                            std::optional<KeyTurn>& turn) {
    run.announce(phase_name::handshake, endpoint_text);
    const Instant phase_start = Clock::now();
    // The turn may be waited for until the overall deadline: the probes
    // before it on this key may each use their whole time.
    auto taken = take_turn_if_asked(run.plan, run.overall_deadline);
    if (run.plan.take_key_turn) run.report.key_turn_wait = Clock::now() - phase_start;
    if (taken && *taken) turn.emplace(std::move(**taken));
    // The handshake's limit, and its round trip that thresholds judge, run
    // from the moment the turn was taken.
    const Instant measured_from = taken ? Clock::now() : phase_start;
    const Instant handshake_deadline = deadline(run.overall_deadline, measured_from, run.plan.handshake_timeout);
    SessionOutcome session = taken ? establish_session(socket, endpoint, tunnel, handshake_deadline)
                                   : SessionOutcome(HandshakeFailure{std::move(taken.error()), 0, 0,
                                                                     PhaseStatus::error, std::nullopt});
    if (auto* start = std::get_if<SessionStart>(&session)) {
        PhaseResult passed = phase_passed(phase_name::handshake, endpoint_text, measured_from,
                                          start->handshake_sent_bytes, start->handshake_received_bytes,
                                          std::string(handshake_detail));
        passed.round_trip = start->round_trip;
        run.record(std::move(passed));
        return std::move(*start);
    }
    auto& failure = std::get<HandshakeFailure>(session);
    PhaseResult result =
        phase_error(phase_name::handshake, endpoint_text, measured_from, std::move(failure.message));
    result.status = failure.status;
    result.sent_bytes = failure.sent_bytes;
    result.received_bytes = failure.received_bytes;
    result.cause = failure.cause;
    run.record(std::move(result));
    if (failure.status == PhaseStatus::error) run.report.verdict = Verdict::local_error;
    for (const IpAddress& target : run.plan.ping) {
        for (std::uint32_t k = 0; k < run.plan.ping_count; ++k) {
            push_skipped(run.report, run.run_start, run.sink, phase_name::ping, ip_text(target));
        }
    }
    for (const std::string& name : run.plan.resolve) {
        push_skipped(run.report, run.run_start, run.sink, phase_name::dns, name);
    }
    for (const TcpTarget& target : run.plan.tcp) {
        push_skipped(run.report, run.run_start, run.sink, phase_name::tcp, target.to_text());
    }
    for (const TlsTarget& target : run.plan.tls) {
        push_skipped(run.report, run.run_start, run.sink, phase_name::tls, target.to_text());
    }
    for (const HttpTarget& target : run.plan.http) {
        push_skipped(run.report, run.run_start, run.sink, phase_name::http, target.url);
    }
    if (run.plan.mtu_check) {
        push_skipped(run.report, run.run_start, run.sink, phase_name::path_mtu, ip_text(run.plan.ping.front()));
    }
    return std::nullopt;
}

// The keepalive the handshake sent: recorded here, with no duration of its own.
void keepalive_phase(const PhaseRun& run, const SessionStart& start, const std::string& endpoint_text) {
    run.announce(phase_name::keepalive, endpoint_text);
    PhaseResult keepalive{std::string(phase_name::keepalive), endpoint_text, PhaseStatus::sent, 0, 0, 0, std::nullopt};
    if (const auto* sent = std::get_if<KeepaliveSent>(&start.keepalive)) {
        keepalive.sent_bytes = sent->bytes;
        keepalive.detail = std::string(keepalive_detail);
    } else {
        keepalive.status = PhaseStatus::error;
        keepalive.detail = std::get<KeepaliveFailed>(start.keepalive).message;
    }
    run.record(std::move(keepalive));
}

// The phases after validation. Returns with the report's verdict set; the
// socket and tunnel it creates die with this frame.
void run_phases(const PhaseRun& run) {
    const std::optional<SocketAddress> endpoint = resolution_phase(run);
    if (!endpoint) return;
    const std::string endpoint_text = endpoint->to_text();
    std::optional<UdpSocket> socket = socket_phase(run, *endpoint, endpoint_text);
    if (!socket) return;
    wireguard::Tunn tunnel = create_tunnel(run.plan.config);
    std::optional<KeyTurn> turn;
    const std::optional<SessionStart> start = handshake_phase(run, *socket, *endpoint, tunnel, endpoint_text, turn);
    if (!start) return;
    keepalive_phase(run, *start, endpoint_text);
    run.report.verdict = Verdict::authentication_confirmed;

    const Instant session_expiry = start->established + wireguard::reject_after_time;
    const DataCheckContext context{*socket,         *endpoint,     tunnel,   run.plan,         run.overall_deadline,
                                   session_expiry, run.run_start, run.sink, start->round_trip};
    if (run_data_checks(run.report, context)) run.report.verdict = Verdict::data_plane_confirmed;
}

}  // namespace

ProbeReport probe(ProbePlan plan, const EventSink& sink) {
    const Instant run_start = Clock::now();
    ProbeReport report(plan.config.endpoint, plan.config.client_public_key());
    for (const IpAddress& target : plan.ping) report.asked.ping.push_back(ip_text(target));
    report.asked.resolve = plan.resolve;
    for (const TcpTarget& target : plan.tcp) report.asked.tcp.push_back(target.to_text());
    for (const TlsTarget& target : plan.tls) report.asked.tls.push_back(target.to_text());
    for (const HttpTarget& target : plan.http) report.asked.http.push_back(target.url);
    report.asked.path_mtu = plan.mtu_check && !plan.ping.empty();

    if (auto valid = plan.validate(); valid) {
        const Instant overall_deadline = checked_add(run_start, plan.overall_deadline).value_or(run_start);
        run_phases(PhaseRun{report, plan, sink, run_start, overall_deadline});
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
