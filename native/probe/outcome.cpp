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
        case Verdict::data_plane_confirmed:
        case Verdict::authentication_confirmed: return ServiceState::ok;
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

}  // namespace quorlin
