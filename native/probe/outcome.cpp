#include "probe/outcome.hpp"

#include "probe/ping_summary.hpp"

#include <netdb.h>

#include <cerrno>
#include <chrono>

namespace quorlin {

namespace {

// getaddrinfo's answers about the name itself: it does not exist, has no
// address, or the name service cannot answer for it (as for other service
// checks, a name that does not resolve is CRITICAL). The other codes are
// failures of this machine (memory, a system error) or of the call.
bool name_does_not_resolve(int code) noexcept {
    switch (code) {
        case EAI_NONAME:
        case EAI_AGAIN:
        case EAI_FAIL:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            return true;
        default:
            return false;
    }
}

// ICMP port or host unreachable reported on the probe's own socket: the
// peer's host refused the datagram or cannot be reached.
bool peer_host_refuses(int error_number) noexcept {
    return error_number == ECONNREFUSED || error_number == EHOSTUNREACH;
}

// A local_error report: CRITICAL when the failing phase shows the service is
// down, UNKNOWN for everything that went wrong on this machine.
ServiceState local_error_state(const ProbeReport& report) noexcept {
    for (auto phase = report.phases.rbegin(); phase != report.phases.rend(); ++phase) {
        if (phase->status != PhaseStatus::error) continue;
        if (!phase->cause) return ServiceState::unknown;
        const FailureCause& cause = *phase->cause;
        if (phase->phase == phase_name::endpoint_resolution && cause.kind == FailureCause::Kind::lookup_error &&
            name_does_not_resolve(cause.code)) {
            return ServiceState::critical;
        }
        if (phase->phase == phase_name::handshake && cause.kind == FailureCause::Kind::os_error &&
            peer_host_refuses(cause.code)) {
            return ServiceState::critical;
        }
        return ServiceState::unknown;
    }
    return ServiceState::unknown;
}

bool above(const PhaseResult& handshake, std::optional<std::uint64_t> limit_ms) noexcept {
    return limit_ms && measured_time(handshake) > std::chrono::milliseconds(*limit_ms);
}

}  // namespace

std::string_view state_text(ServiceState state) noexcept {
    switch (state) {
        case ServiceState::ok: return "OK";
        case ServiceState::warning: return "WARNING";
        case ServiceState::critical: return "CRITICAL";
        case ServiceState::unknown: break;
    }
    return "UNKNOWN";
}

ServiceState verdict_state(const ProbeReport& report) noexcept {
    switch (report.verdict) {
        case Verdict::data_plane_confirmed: return ServiceState::ok;
        case Verdict::authentication_confirmed:
            return count_checks(report).asked > 0 ? ServiceState::warning : ServiceState::ok;
        case Verdict::unconfirmed: return ServiceState::critical;
        case Verdict::local_error: break;
    }
    return local_error_state(report);
}

const PhaseResult* passed_handshake(const ProbeReport& report) noexcept {
    for (const PhaseResult& phase : report.phases) {
        if (phase.phase == phase_name::handshake) return phase.status == PhaseStatus::passed ? &phase : nullptr;
    }
    return nullptr;
}

CheckCount count_checks(const ProbeReport& report) noexcept {
    CheckCount count;
    for (const PhaseResult& phase : report.phases) {
        if (phase.phase != phase_name::ping && phase.phase != phase_name::dns) continue;
        ++count.asked;
        count.passed += phase.status == PhaseStatus::passed;
    }
    return count;
}

ServiceState threshold_state(const ProbeReport& report, const HandshakeThresholds& thresholds) noexcept {
    const PhaseResult* handshake = passed_handshake(report);
    if (handshake == nullptr) return ServiceState::ok;
    if (above(*handshake, thresholds.critical_ms)) return ServiceState::critical;
    if (above(*handshake, thresholds.warning_ms)) return ServiceState::warning;
    return ServiceState::ok;
}

ServiceState ping_state(const ProbeReport& report, const PingThresholds& thresholds) {
    if (!thresholds.warning && !thresholds.critical) return ServiceState::ok;
    const auto reaches = [](const PingSummary& target, const std::optional<PingLimit>& limit) {
        if (!limit) return false;
        const bool slow = target.rtt_avg && *target.rtt_avg >= std::chrono::milliseconds(limit->rta_ms);
        return slow || target.loss_percent().value_or(0) >= limit->loss_percent;
    };
    ServiceState state = ServiceState::ok;
    for (const PingSummary& target : ping_summaries(report)) {
        if (target.sent == 0) continue;
        if (reaches(target, thresholds.critical)) return ServiceState::critical;
        if (reaches(target, thresholds.warning)) state = ServiceState::warning;
    }
    return state;
}

ServiceState path_mtu_state(const ProbeReport& report) noexcept {
    const PhaseResult* phase = path_mtu_phase(report);
    if (phase == nullptr || phase->status == PhaseStatus::passed || phase->status == PhaseStatus::skipped) {
        return ServiceState::ok;
    }
    return ServiceState::warning;
}

ServiceState probe_state(const ProbeReport& report, const HandshakeThresholds& thresholds,
                         const PingThresholds& ping) {
    return worse(worse(verdict_state(report), threshold_state(report, thresholds)),
                 worse(ping_state(report, ping), path_mtu_state(report)));
}

}  // namespace quorlin
