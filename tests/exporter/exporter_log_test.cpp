// The line a probe gives the exporter's log, and its level.
#include "exporter/probe_log.hpp"
#include "probe/report_builders.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace quorlin::exporter {
namespace {

// Not OK: info, with each reason; OK: debug, without.
TEST(ExporterLog, ProbeLine) {
    using test::phase;
    const PhaseResult handshake = test::handshake_passed(std::chrono::microseconds(900));
    PhaseResult answered = phase(phase_name::ping, PhaseStatus::passed, "10.0.0.1");
    PhaseResult lost = phase(phase_name::ping, PhaseStatus::unconfirmed, "10.0.0.2");
    answered.sent_bytes = lost.sent_bytes = 80;  // the echoes went out
    const PhaseResult unanswered = phase(phase_name::handshake, PhaseStatus::unconfirmed, "127.0.0.1:51820", {},
                                         "no authenticated response within 500 ms");
    const PhaseResult refused = phase(phase_name::socket, PhaseStatus::error, "127.0.0.1:51820", {},
                                      "Connection refused (os error 111)");
    const std::string prefix = "probed target \"fra-1\" for 192.0.2.7: ";
    const struct {
        const char* label;
        ProbeReport report;
        PingThresholds ping;
        LogLevel level;
        std::string text;
    } cases[] = {
        {"every check passed", test::report(Verdict::data_plane_confirmed, {handshake, answered}), {},
         LogLevel::debug, "data_plane_confirmed, OK"},
        {"the handshake unanswered", test::report(Verdict::unconfirmed, {unanswered}), {}, LogLevel::info,
         "unconfirmed, CRITICAL: handshake 127.0.0.1:51820 unconfirmed: no authenticated response within 500 ms"},
        {"the peer's host refuses", test::report(Verdict::unconfirmed, {refused}), {}, LogLevel::info,
         "unconfirmed, CRITICAL: socket 127.0.0.1:51820 error: Connection refused (os error 111)"},
        {"one ping target of two lost", test::report(Verdict::data_plane_confirmed, {handshake, answered, lost}), {},
         LogLevel::info, "data_plane_confirmed, WARNING: ping 10.0.0.2 unanswered"},
    };
    for (const auto& c : cases) {
        const Assessment assessment = assess(c.report, Thresholds{{}, c.ping, {}});
        const ProbeLogLine line = probe_log_line("fra-1", "192.0.2.7", c.report, assessment);
        EXPECT_EQ(line.level, c.level) << c.label;
        EXPECT_EQ(line.text, prefix + c.text) << c.label;
    }
}

}  // namespace
}  // namespace quorlin::exporter
