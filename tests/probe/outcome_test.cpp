// A report's monitoring state: the verdict, the failing phase and its cause,
// the checks asked (read from the report's phases) and the thresholds.
#include "probe/outcome.hpp"
#include "probe/report_builders.hpp"

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
        {"authenticated, no check passed", report(Verdict::authentication_confirmed, {ping_lost()}),
         ServiceState::warning},
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
    for (const auto& c : cases) EXPECT_EQ(probe_state(c.report), c.expected) << c.label;
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
        std::vector<PhaseResult> phases{handshake_passed(c.elapsed)};
        if (c.asked) phases.push_back(ping_lost());
        const ProbeReport confirmed = report(Verdict::authentication_confirmed, std::move(phases));
        EXPECT_EQ(probe_state(confirmed, c.thresholds), c.expected) << c.elapsed.count();
    }
    // An unconfirmed handshake has no round trip to hold against them.
    const ProbeReport silent = report(
        Verdict::unconfirmed, {phase(phase_name::handshake, PhaseStatus::unconfirmed, "127.0.0.1:51820", microseconds(3'000'000))});
    EXPECT_EQ(threshold_state(silent, {1, 2}), ServiceState::ok);
}

}  // namespace
}  // namespace quorlin
