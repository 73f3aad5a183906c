// A report's monitoring state: the verdict, the failing phase and its cause,
// each check asked and how it went, and the thresholds.
#include "probe/assessment.hpp"
#include "probe/report_builders.hpp"

#include "packet/dns.hpp"

#include <netdb.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace quorlin {
namespace {

using std::chrono::microseconds;
using test::handshake_passed;
using test::phase;
using test::report;
using Kind = FailureCause::Kind;

ProbeReport failed_at(std::string_view name, std::optional<FailureCause> cause) {
    return report(Verdict::local_error, {phase(name, PhaseStatus::error, std::nullopt, {}, "failed", cause)});
}

PhaseResult ping_lost() { return phase(phase_name::ping, PhaseStatus::unconfirmed, "10.99.0.1"); }

TEST(ServiceStateTable, FromVerdictFailingPhaseAndCause) {
    const struct {
        const char* label;
        ProbeReport report;
        ServiceState expected;
    } cases[] = {
        {"data plane confirmed", report(Verdict::data_plane_confirmed, {}), ServiceState::ok},
        {"authenticated, nothing asked", report(Verdict::authentication_confirmed, {}), ServiceState::ok},
        {"authenticated, the only check failed", report(Verdict::authentication_confirmed, {ping_lost()}),
         ServiceState::critical},
        {"unconfirmed", report(Verdict::unconfirmed, {}), ServiceState::critical},
        {"name does not exist", failed_at(phase_name::endpoint_resolution, FailureCause{Kind::lookup_error, EAI_NONAME}),
         ServiceState::critical},
        {"name service cannot answer", failed_at(phase_name::endpoint_resolution, FailureCause{Kind::lookup_error, EAI_AGAIN}),
         ServiceState::critical},
        {"lookup out of memory", failed_at(phase_name::endpoint_resolution, FailureCause{Kind::lookup_error, EAI_MEMORY}),
         ServiceState::unknown},
        {"lookup system error", failed_at(phase_name::endpoint_resolution, FailureCause{Kind::lookup_error, EAI_SYSTEM}),
         ServiceState::unknown},
        {"resolver thread not started", failed_at(phase_name::endpoint_resolution, FailureCause{Kind::os_error, EAGAIN}),
         ServiceState::unknown},
        {"deadline before resolution", failed_at(phase_name::endpoint_resolution, std::nullopt), ServiceState::unknown},
        {"port refused", failed_at(phase_name::handshake, FailureCause{Kind::os_error, ECONNREFUSED}),
         ServiceState::critical},
        {"host unreachable", failed_at(phase_name::handshake, FailureCause{Kind::os_error, EHOSTUNREACH}),
         ServiceState::critical},
        {"no buffer space on send", failed_at(phase_name::handshake, FailureCause{Kind::os_error, ENOBUFS}),
         ServiceState::unknown},
        {"protocol engine failure", failed_at(phase_name::handshake, std::nullopt), ServiceState::unknown},
        {"socket not created", failed_at(phase_name::socket, FailureCause{Kind::os_error, EMFILE}), ServiceState::unknown},
        {"refused on the socket phase", failed_at(phase_name::socket, FailureCause{Kind::os_error, ECONNREFUSED}),
         ServiceState::unknown},
        {"validation", failed_at(phase_name::validation, std::nullopt), ServiceState::unknown},
    };
    for (const auto& c : cases) EXPECT_EQ(assess(c.report).state, c.expected) << c.label;
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
        {microseconds(200'000), true, {std::nullopt, 500}, ServiceState::critical},  // the failed checks' own state stays
    };
    for (const auto& c : cases) {
        std::vector<PhaseResult> phases{handshake_passed(c.elapsed)};
        if (c.asked) phases.push_back(ping_lost());
        const ProbeReport confirmed = report(Verdict::authentication_confirmed, std::move(phases));
        EXPECT_EQ(assess(confirmed, {c.thresholds, {}}).state, c.expected) << c.elapsed.count();
    }
    // An unconfirmed handshake has no round trip to hold against them.
    const ProbeReport silent = report(
        Verdict::unconfirmed, {phase(phase_name::handshake, PhaseStatus::unconfirmed, "127.0.0.1:51820", microseconds(3'000'000))});
    EXPECT_TRUE(assess(silent, {{1, 2}, {}}).breaches.empty());
}

PhaseResult echo(const std::string& target, bool answered, microseconds round_trip = microseconds(400)) {
    PhaseResult result = phase(phase_name::ping, answered ? PhaseStatus::passed : PhaseStatus::unconfirmed, target,
                               round_trip, answered ? "valid matching reply" : "no valid matching reply before the check deadline");
    result.sent_bytes = 80;
    return result;
}

PhaseResult lookup(const std::string& name, std::optional<std::uint8_t> response_code, std::size_t a_records = 1) {
    const bool answered = response_code.has_value();
    PhaseResult result = phase(phase_name::dns, answered ? PhaseStatus::passed : PhaseStatus::unconfirmed,
                               name + " via 10.99.0.1", microseconds(500),
                               answered ? "valid DNS response; A records: none" : "no valid matching reply before the check deadline");
    result.sent_bytes = 96;
    result.subject = name;
    if (answered) result.dns = PhaseResult::DnsOutcome{*response_code, a_records};
    return result;
}

enum class Answer : std::uint8_t { syn_ack, reset, none };

PhaseResult connection(const std::string& target, Answer answer) {
    PhaseResult result = phase(phase_name::tcp, answer == Answer::none ? PhaseStatus::unconfirmed : PhaseStatus::passed,
                               target, microseconds(300), "as recorded");
    result.sent_bytes = 80;
    if (answer == Answer::reset) result.service_failure = "refused";
    return result;
}

PhaseResult mtu_short() {
    PhaseResult result = phase(phase_name::path_mtu, PhaseStatus::unconfirmed, "10.99.0.1", microseconds(900),
                               "largest inner packet through the tunnel 1168 bytes; 1184 did not cross");
    result.path_mtu = PhaseResult::PathMtuSizes{1420, 1168};
    return result;
}

// The state rule over every check asked, with what the first line of a
// plugin output would name for each failure.
TEST(AssessmentStateRule, PartialFailuresWarnAndAnOutageIsCritical) {
    const std::string a = "10.99.0.1";
    const std::string b = "10.99.0.77";
    const struct {
        const char* label;
        std::vector<PhaseResult> checks;
        ServiceState expected;
        std::size_t passed;
        std::vector<std::string> failures;
    } cases[] = {
        {"one ping answered", {echo(a, true)}, ServiceState::ok, 1, {}},
        {"one of two ping targets dead", {echo(a, true), echo(b, false)}, ServiceState::warning, 1,
         {"ping 10.99.0.77 unanswered"}},
        {"every data check failed", {echo(b, false), lookup("x.test", std::nullopt)}, ServiceState::critical, 0,
         {"ping 10.99.0.77 unanswered", "dns x.test unanswered"}},
        {"ping passes, every DNS query lost", {echo(a, true), lookup("x.test", std::nullopt)}, ServiceState::warning, 1,
         {"dns x.test unanswered"}},
        {"resolver answers SERVFAIL", {echo(a, true), lookup("x.test", 2, 0)}, ServiceState::warning, 1,
         {"dns x.test SERVFAIL"}},
        {"resolver answers REFUSED alone", {lookup("x.test", 5, 0)}, ServiceState::critical, 0, {"dns x.test REFUSED"}},
        {"resolver answers NXDOMAIN", {echo(a, true), lookup("x.test", 3, 0)}, ServiceState::warning, 1,
         {"dns x.test NXDOMAIN"}},
        {"NOERROR without an A record", {echo(a, true), lookup("x.test", 0, 0)}, ServiceState::warning, 1,
         {"dns x.test no A record"}},
        {"NOERROR with an A record", {lookup("x.test", 0, 1)}, ServiceState::ok, 1, {}},
        {"path MTU short", {echo(a, true), mtu_short()}, ServiceState::warning, 1, {"path MTU 1168 below 1420"}},
        {"TCP port accepts", {connection("10.99.0.1:443", Answer::syn_ack)}, ServiceState::ok, 1, {}},
        {"TCP port refuses beside a ping", {echo(a, true), connection("10.99.0.1:81", Answer::reset)},
         ServiceState::warning, 1, {"tcp 10.99.0.1:81 refused"}},
        {"TCP port refuses alone", {connection("10.99.0.1:81", Answer::reset)}, ServiceState::critical, 0,
         {"tcp 10.99.0.1:81 refused"}},
        {"TCP port silent beside an open one",
         {connection("10.99.0.1:443", Answer::syn_ack), connection("10.99.0.77:443", Answer::none)},
         ServiceState::warning, 1, {"tcp 10.99.0.77:443 unanswered"}},
        {"one echo of five lost, no thresholds",
         {echo(a, true), echo(a, false), echo(a, true), echo(a, true), echo(a, true)}, ServiceState::ok, 1, {}},
    };
    for (const auto& c : cases) {
        std::vector<PhaseResult> phases{handshake_passed(microseconds(300))};
        phases.insert(phases.end(), c.checks.begin(), c.checks.end());
        const Assessment assessment = assess(report(Verdict::data_plane_confirmed, phases));
        EXPECT_EQ(assessment.state, c.expected) << c.label;
        EXPECT_EQ(assessment.passed_checks(), c.passed) << c.label;
        std::vector<std::string> failures;
        for (const CheckAssessment& check : assessment.checks) {
            if (!check.failure.empty()) failures.push_back(check.failure);
        }
        EXPECT_EQ(failures, c.failures) << c.label;
    }
}

// Several echoes to one target are one check, judged by the ping thresholds:
// a loss or an average round trip that reaches a threshold sets its level,
// and the breach says which and by how much.
TEST(AssessmentStateRule, PingThresholdsJudgeATargetsEchoesTogether) {
    const std::string a = "10.99.0.1";
    const PingThresholds limits{PingLimit{10, 20}, PingLimit{500, 50}};
    const struct {
        const char* label;
        std::vector<PhaseResult> echoes;
        ServiceState expected;
        std::vector<std::string> breaches;
    } cases[] = {
        {"one of five lost: 20% reaches the warning threshold",
         {echo(a, true), echo(a, false), echo(a, true), echo(a, true), echo(a, true)}, ServiceState::warning,
         {"ping 10.99.0.1 loss 20% reaches the warning threshold of 20%"}},
        {"two of three lost: 67%, not rounded down",
         {echo(a, false), echo(a, true), echo(a, false)}, ServiceState::critical,
         {"ping 10.99.0.1 loss 67% reaches the critical threshold of 50%"}},
        {"average exactly at the warning threshold",
         {echo(a, true, microseconds(10'000)), echo(a, true, microseconds(10'000))}, ServiceState::warning,
         {"ping 10.99.0.1 round trip average 10.000 ms reaches the warning threshold of 10 ms"}},
        {"just below every threshold",
         {echo(a, true, microseconds(9'999)), echo(a, true, microseconds(9'999))}, ServiceState::ok, {}},
    };
    for (const auto& c : cases) {
        std::vector<PhaseResult> phases{handshake_passed(microseconds(300))};
        phases.insert(phases.end(), c.echoes.begin(), c.echoes.end());
        const Assessment assessment = assess(report(Verdict::data_plane_confirmed, phases), {{}, limits});
        EXPECT_EQ(assessment.state, c.expected) << c.label;
        std::vector<std::string> breaches;
        for (const Breach& breach : assessment.breaches) breaches.push_back(breach.text);
        EXPECT_EQ(breaches, c.breaches) << c.label;
        ASSERT_EQ(assessment.checks.size(), 1u) << c.label;
        EXPECT_EQ(assessment.checks.front().passed, c.expected == ServiceState::ok) << c.label;
    }
}

// A certificate within the days of a threshold: "expires in 30 days" at a
// warning of 30 is reached, as the standard HTTP check's -C counts.
TEST(AssessmentStateRule, CertificateExpiryThresholds) {
    const CertificateThresholds thresholds{30, 7};
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch()).count();
    const struct {
        std::int64_t days;
        ServiceState expected;
        std::vector<std::string> breaches;
    } cases[] = {
        {31, ServiceState::ok, {}},
        {30, ServiceState::warning, {"tls 10.99.0.1:443 certificate expires in 30 days, within the warning threshold of 30 days"}},
        {7, ServiceState::critical, {"tls 10.99.0.1:443 certificate expires in 7 days, within the critical threshold of 7 days"}},
    };
    for (const auto& c : cases) {
        PhaseResult tls = phase(phase_name::tls, PhaseStatus::passed, "10.99.0.1:443", microseconds(9000), "TLS 1.3");
        tls.sent_bytes = 900;
        tls.certificate_not_after = now + c.days * 86'400 + 3'600;  // an hour into the last day
        ProbeReport built = report(Verdict::data_plane_confirmed, {handshake_passed(microseconds(300)), tls});
        built.asked.tls = {"10.99.0.1:443"};
        const Assessment assessment = assess(built, {{}, {}, thresholds});
        std::vector<std::string> breaches;
        for (const Breach& breach : assessment.breaches) breaches.push_back(breach.text);
        EXPECT_EQ(assessment.state, c.expected) << c.days;
        EXPECT_EQ(breaches, c.breaches) << c.days;
    }
}

}  // namespace
}  // namespace quorlin
