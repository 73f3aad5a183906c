#pragma once
// The states a monitoring system shows, the thresholds that can set them, and
// the state of a verdict alone; the whole rule, with every check asked, is
// the assessment's (assessment.hpp). Local errors are told apart by the
// failing phase and the system error number behind it, never by message text.

#include "probe/report.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorlin {

enum class ServiceState : std::uint8_t { ok = 0, warning = 1, critical = 2, unknown = 3 };

std::string_view state_text(ServiceState state) noexcept;  // "OK", "WARNING", ...
constexpr int exit_status(ServiceState state) noexcept { return static_cast<int>(state); }
// The status of everything that ends without a report's state: refused
// input, usage errors, failures of this machine, Ctrl-C.
inline constexpr int unknown_exit_status = exit_status(ServiceState::unknown);
// The worse of two states, the higher exit status.
constexpr ServiceState worse(ServiceState a, ServiceState b) noexcept { return a > b ? a : b; }

// Limits on the handshake round trip, in whole milliseconds; alert when above.
struct HandshakeThresholds {
    std::optional<std::uint64_t> warning_ms;
    std::optional<std::uint64_t> critical_ms;
};

// Limits on the worst ping target in the standard ping check's convention:
// alert when the round-trip average or the loss reaches them.
struct PingLimit {
    std::uint64_t rta_ms = 0;
    double loss_percent = 0;
};
struct PingThresholds {
    std::optional<PingLimit> warning;
    std::optional<PingLimit> critical;

    // A warning above its critical threshold (in either number) could never
    // be shown: a mistake in the input, refused where it is written.
    bool warning_above_critical() const noexcept {
        return warning && critical &&
               (warning->rta_ms > critical->rta_ms || warning->loss_percent > critical->loss_percent);
    }
};

// Days before a certificate's expiry at which a TLS check warns or is
// critical: a certificate with that many days left or fewer reaches it.
struct CertificateThresholds {
    std::optional<std::int64_t> warning_days;
    std::optional<std::int64_t> critical_days;
};

// The state of a verdict that is not an authenticated one: CRITICAL for
// unconfirmed, for an endpoint name that does not resolve and for a peer's
// host that refuses or is unreachable; UNKNOWN for the failures of this
// machine. OK for the authenticated verdicts (their checks decide).
ServiceState verdict_state(const ProbeReport& report) noexcept;

// The handshake phase, when it passed.
const PhaseResult* passed_handshake(const ProbeReport& report) noexcept;

}  // namespace quorlin
