// The command's pure parts: exit-status table, monitoring-plugin line, escaping.
#include "command/nagios_line.hpp"
#include "command/service_state.hpp"
#include "command/terminal_text.hpp"

#include <netdb.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorlin::command {
namespace {

using std::chrono::microseconds;
using Kind = FailureCause::Kind;

PhaseResult phase(std::string_view name, PhaseStatus status, std::optional<std::string> target = std::nullopt,
                  microseconds elapsed = {}, std::optional<std::string> detail = std::nullopt,
                  std::optional<FailureCause> cause = std::nullopt) {
    PhaseResult result;
    result.phase = std::string(name);
    result.status = status;
    result.target = std::move(target);
    result.elapsed = elapsed;
    result.detail = std::move(detail);
    result.cause = cause;
    return result;
}

ProbeReport report(Verdict verdict, std::vector<PhaseResult> phases) {
    ProbeReport built("peer.test:51820", "key");
    built.verdict = verdict;
    built.phases = std::move(phases);
    built.sent_bytes = 356;
    built.received_bytes = 284;
    return built;
}

PhaseResult handshake_passed(microseconds elapsed) {
    return phase(phase_name::handshake, PhaseStatus::passed, "127.0.0.1:51820", elapsed, "authenticated WireGuard response");
}

ProbeReport failed_at(std::string_view name, std::optional<FailureCause> cause) {
    return report(Verdict::local_error, {phase(name, PhaseStatus::error, std::nullopt, {}, "failed", cause)});
}

TEST(ServiceStateTable, FromVerdictFailingPhaseAndCause) {
    const struct {
        const char* label;
        ProbeReport report;
        bool asked;
        ServiceState expected;
    } cases[] = {
        {"data plane confirmed", report(Verdict::data_plane_confirmed, {}), true, ServiceState::ok},
        {"authenticated, nothing asked", report(Verdict::authentication_confirmed, {}), false, ServiceState::ok},
        {"authenticated, no check passed", report(Verdict::authentication_confirmed, {}), true, ServiceState::warning},
        {"unconfirmed", report(Verdict::unconfirmed, {}), false, ServiceState::critical},
        {"name does not exist", failed_at(phase_name::endpoint_resolution, FailureCause{Kind::lookup_error, EAI_NONAME}),
         false, ServiceState::critical},
        {"name service cannot answer", failed_at(phase_name::endpoint_resolution, FailureCause{Kind::lookup_error, EAI_AGAIN}),
         false, ServiceState::critical},
        {"lookup out of memory", failed_at(phase_name::endpoint_resolution, FailureCause{Kind::lookup_error, EAI_MEMORY}),
         false, ServiceState::unknown},
        {"lookup system error", failed_at(phase_name::endpoint_resolution, FailureCause{Kind::lookup_error, EAI_SYSTEM}),
         false, ServiceState::unknown},
        {"resolver thread not started", failed_at(phase_name::endpoint_resolution, FailureCause{Kind::os_error, EAGAIN}),
         false, ServiceState::unknown},
        {"deadline before resolution", failed_at(phase_name::endpoint_resolution, std::nullopt), false, ServiceState::unknown},
        {"port refused", failed_at(phase_name::handshake, FailureCause{Kind::os_error, ECONNREFUSED}), false,
         ServiceState::critical},
        {"host unreachable", failed_at(phase_name::handshake, FailureCause{Kind::os_error, EHOSTUNREACH}), false,
         ServiceState::critical},
        {"no buffer space on send", failed_at(phase_name::handshake, FailureCause{Kind::os_error, ENOBUFS}), false,
         ServiceState::unknown},
        {"protocol engine failure", failed_at(phase_name::handshake, std::nullopt), false, ServiceState::unknown},
        {"socket not created", failed_at(phase_name::socket, FailureCause{Kind::os_error, EMFILE}), false,
         ServiceState::unknown},
        {"refused on the socket phase", failed_at(phase_name::socket, FailureCause{Kind::os_error, ECONNREFUSED}), false,
         ServiceState::unknown},
        {"validation", failed_at(phase_name::validation, std::nullopt), false, ServiceState::unknown},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(probe_state(c.report, c.asked, {}), c.expected) << c.label;
        EXPECT_EQ(exit_status(c.expected), static_cast<int>(c.expected)) << c.label;
    }
}

TEST(ServiceStateTable, ThresholdsRaiseThePassedHandshakeOnly) {
    const HandshakeThresholds both{100, 500};
    const struct {
        microseconds elapsed;
        bool asked;
        HandshakeThresholds thresholds;
        ServiceState expected;
    } cases[] = {
        {microseconds(100'000), false, both, ServiceState::ok},  // at the limit is not above it
        {microseconds(100'001), false, both, ServiceState::warning},
        {microseconds(500'001), false, both, ServiceState::critical},
        {microseconds(500'001), false, {100, std::nullopt}, ServiceState::warning},
        {microseconds(1), false, {0, std::nullopt}, ServiceState::warning},
        {microseconds(200'000), true, {std::nullopt, 500}, ServiceState::warning},  // the verdict's own WARNING stays
    };
    for (const auto& c : cases) {
        const ProbeReport confirmed = report(Verdict::authentication_confirmed, {handshake_passed(c.elapsed)});
        EXPECT_EQ(probe_state(confirmed, c.asked, c.thresholds), c.expected) << c.elapsed.count();
    }
    // An unconfirmed handshake has no round trip to hold against them.
    const ProbeReport silent = report(
        Verdict::unconfirmed, {phase(phase_name::handshake, PhaseStatus::unconfirmed, "127.0.0.1:51820", microseconds(3'000'000))});
    EXPECT_EQ(threshold_state(silent, {1, 2}), ServiceState::ok);
}

TEST(NagiosLine, SummaryAndPerfdataByteForByte) {
    const struct {
        const char* label;
        ProbeReport report;
        ServiceState state;
        HandshakeThresholds thresholds;
        std::string expected;
    } cases[] = {
        {"confirmed, one check of two failed",
         report(Verdict::data_plane_confirmed,
                {handshake_passed(microseconds(181'234)),
                 phase(phase_name::keepalive, PhaseStatus::sent, "127.0.0.1:51820"),
                 phase(phase_name::ping, PhaseStatus::passed, "10.99.0.1", microseconds(320)),
                 phase(phase_name::dns, PhaseStatus::unconfirmed, "nx.test via 10.99.0.1", microseconds(2'000'000),
                       "no answer")}),
         ServiceState::warning, {100, 500},
         "WIREGUARD WARNING - data_plane_confirmed at peer.test:51820, handshake 181.234 ms (above the warning threshold of 100 ms), "
         "1 of 2 checks passed; failed: dns nx.test via 10.99.0.1 unconfirmed: no answer | "
         "'handshake'=0.181234s;0.100;0.500;0 'ping1'=0.000320s;;;0 'dns1'=U;;;0 'sent'=356B;;;0 'received'=284B;;;0\n"},
        {"unconfirmed, checks skipped",
         report(Verdict::unconfirmed,
                {phase(phase_name::handshake, PhaseStatus::unconfirmed, "127.0.0.1:51820", microseconds(3'000'000),
                       "no response"),
                 phase(phase_name::ping, PhaseStatus::skipped, "10.99.0.1")}),
         ServiceState::critical, {},
         "WIREGUARD CRITICAL - unconfirmed at peer.test:51820; failed: handshake 127.0.0.1:51820 unconfirmed: no response | "
         "'handshake'=U;;;0 'ping1'=U;;;0 'sent'=356B;;;0 'received'=284B;;;0\n"},
        {"texts from outside cannot break the line",
         report(Verdict::local_error,
                {phase(phase_name::endpoint_resolution, PhaseStatus::error, std::nullopt, {},
                       "could not resolve a|b\n'x'=1")}),
         ServiceState::critical, {std::nullopt, 7},
         "WIREGUARD CRITICAL - local_error at peer.test:51820; failed: endpoint_resolution error: could not resolve a\\x7cb\\n'x'=1 | "
         "'handshake'=U;;0.007;0 'sent'=356B;;;0 'received'=284B;;;0\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(nagios_line(c.report, c.state, c.thresholds), c.expected) << c.label;
    EXPECT_EQ(nagios_unknown_line("interrupted"), "WIREGUARD UNKNOWN - interrupted\n");
}

TEST(TerminalText, EscapesWhatWouldActOnTheTerminal) {
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"plain text: ok", "plain text: ok"},
        {"evil\x1b[2J", "evil\\x1b[2J"},
        {"tab\tline\ncr\r\x7f", "tab\\tline\\ncr\\r\\x7f"},
        {"back\\slash", "back\\slash"},
        {"\xc3\xb6 \xe2\x82\xac \xf0\x9f\x94\x91", "\xc3\xb6 \xe2\x82\xac \xf0\x9f\x94\x91"},  // shown as is
        {"\xc2\x85\xc2\xa0", "\\x85\\xa0"},                                                 // C1 control, no-break space
        {"\xe2\x80\xae\xe2\x80\xa8", "\\u202e\\u2028"},                                     // bidi override, line separator
        {"\xee\x80\x80\xf3\xa0\x80\x81", "\\ue000\\U000e0001"},                             // private use, language tag
        {"bad \xff\xc3 end", "bad \\xff\\xc3 end"},                                         // not UTF-8
    };
    for (const auto& c : cases) EXPECT_EQ(shown(c.text), c.expected) << c.expected;
    EXPECT_EQ(character_count(shown("\xc3\xb6\x1b")), 5u);
}

}  // namespace
}  // namespace quorlin::command
