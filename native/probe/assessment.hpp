#pragma once
// What a probe's report means to whoever reads it, computed once from the
// report and the thresholds: the state (and so the exit status), every check
// asked and how it went, and the thresholds reached. The table, the plugin
// output, the fleet's outputs and the exporter only format it.
//
// The state, by the conventions monitoring plugins share:
//   OK        every check asked passed (or none was asked), no threshold reached
//   WARNING   the data plane is confirmed but a check failed (a dead ping
//             target among several, a resolver that answers SERVFAIL, a short
//             path MTU), or a warning threshold was reached
//   CRITICAL  the handshake failed (unconfirmed; the endpoint's name does not
//             resolve; the peer's host refuses or is unreachable); every data
//             check asked failed (a tunnel that authenticates but carries
//             nothing is an outage for its users); or a critical threshold
//             was reached
//   UNKNOWN   failures of this machine

#include "probe/outcome.hpp"
#include "probe/ping_summary.hpp"
#include "probe/report.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorlin {

struct Thresholds {
    HandshakeThresholds handshake;
    PingThresholds ping;
    CertificateThresholds certificate;
};

enum class CheckKind : std::uint8_t { ping, dns, tcp, tls, http, path_mtu };

// One check asked: a ping target (all its echoes), a DNS name, a TCP port, a
// TLS service, an HTTP URL, the path MTU.
struct CheckAssessment {
    CheckKind kind = CheckKind::ping;
    std::string subject;  // the ping address, the DNS name, ADDR:PORT, HOST:PORT, the URL, the path MTU search's ping target
    std::string target;   // as its phase names it ("NAME via SERVER" for DNS)
    bool passed = false;
    bool ran = false;       // something of it went out
    bool answered = false;  // an answer to it came back through the tunnel
    // How it went, in one line of plain words: "valid matching reply, round
    // trip 0.412 ms", "resolver answered SERVFAIL", "3 of 10 received, 70%
    // loss, ...", a failed phase's detail.
    std::string outcome;
    // When it failed for a reason no threshold gives: the short clause the
    // first line of a plugin output shows ("ping 10.0.0.77 unanswered", "dns
    // NAME SERVFAIL", "path MTU 1168 below 1420").
    std::string failure;
    std::optional<PingSummary> ping;
    std::optional<PhaseResult::PathMtuSizes> path_mtu;

    bool is_data_check() const noexcept { return kind != CheckKind::path_mtu; }
};

// A threshold reached, and by what:
// "handshake 3.123 ms above the critical threshold of 0 ms",
// "ping 10.0.0.1 loss 30% reaches the critical threshold of 20%".
struct Breach {
    ServiceState level = ServiceState::warning;
    std::string text;
    bool handshake = false;  // the handshake's round trip, else a check's
};

struct Assessment {
    ServiceState state = ServiceState::unknown;
    std::vector<CheckAssessment> checks;  // ping targets, DNS names, TCP ports, then the path MTU, as asked
    std::vector<Breach> breaches;         // the handshake's first, then the ping targets'
    // The round trip of the handshake that passed.
    std::optional<Clock::duration> handshake;
    // Some ping target was sent several echoes: pings are then told per
    // target (echoes received, loss, round trips), not echo by echo.
    bool several_echoes = false;

    std::size_t passed_checks() const noexcept;
};

Assessment assess(const ProbeReport& report, const Thresholds& thresholds = {});

// The rule above as `quorlin --help` states it, from the same place as the
// code that applies it.
inline constexpr std::string_view state_rule_text =
    "  0  OK        every check asked passed (or none was asked) and no threshold was reached\n"
    "  1  WARNING   the data plane works but a check asked failed (a ping target, a DNS name whose\n"
    "               resolver answers SERVFAIL, REFUSED, NXDOMAIN or no A record, a TCP port that\n"
    "               refuses or does not answer, a TLS certificate that does not verify, an HTTP\n"
    "               status not accepted), the path MTU is short, or --warning or --ping-warning\n"
    "               was reached\n"
    "  2  CRITICAL  unconfirmed; the endpoint's name does not resolve; the peer's host refuses or is\n"
    "               unreachable; every data check asked failed; or --critical or --ping-critical\n"
    "               was reached\n"
    "  3  UNKNOWN   refused input or usage error, a failure of this machine, an output that cannot be\n"
    "               written, Ctrl-C or SIGTERM";

// A phase that did not pass, as every output names it:
// "handshake 127.0.0.1:51820 unconfirmed: no authenticated response ...".
// Unescaped: each output escapes it its own way.
std::string phase_failure_text(const PhaseResult& phase);

// Whole days from now until a certificate's notAfter (seconds since the
// Unix epoch), rounded down: negative once it has expired.
std::int64_t certificate_days_left(std::int64_t not_after);

// "ping", "dns", "tcp", "tls", "http", "path_mtu": the phase a check's results are recorded as.
std::string_view check_phase_name(CheckKind kind) noexcept;

}  // namespace quorlin
