#pragma once
// What a probe's report means to a monitoring system: its state, and the exit
// status by the plugin conventions that Nagios, Icinga, Naemon and Shinken share:
//   0 OK        the verdict answers everything asked
//   1 WARNING   authenticated, but no requested data check passed; or the
//               handshake took longer than the warning threshold
//   2 CRITICAL  unconfirmed; the endpoint's name does not resolve; the peer's
//               host refuses or is unreachable; or the handshake took longer
//               than the critical threshold
//   3 UNKNOWN   refused input, usage errors and failures of this machine
// Local errors are told apart by the failing phase and the system error
// number behind it, never by message text. Everything comes from the report
// itself: every data check asked is one of its phases, run or skipped.

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

// The state of the verdict alone.
ServiceState verdict_state(const ProbeReport& report) noexcept;

// The state the thresholds give a passed handshake (OK without one).
ServiceState threshold_state(const ProbeReport& report, const HandshakeThresholds& thresholds) noexcept;

// The state the ping thresholds give the worst ping target that sent any
// echo (OK without thresholds: then the verdict alone speaks for the pings).
ServiceState ping_state(const ProbeReport& report, const PingThresholds& thresholds);

// WARNING when a path MTU search ran and the expected size did not cross.
ServiceState path_mtu_state(const ProbeReport& report) noexcept;

// All together: the probe's state and exit status.
ServiceState probe_state(const ProbeReport& report, const HandshakeThresholds& thresholds = {},
                         const PingThresholds& ping = {});

// The handshake phase, when it passed.
const PhaseResult* passed_handshake(const ProbeReport& report) noexcept;

// The report's data checks (ping and DNS): how many were asked, how many passed.
struct CheckCount {
    std::size_t asked = 0;
    std::size_t passed = 0;
};
CheckCount count_checks(const ProbeReport& report) noexcept;

}  // namespace quorlin
