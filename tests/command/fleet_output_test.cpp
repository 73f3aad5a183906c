// What `quorlin fleet` prints, byte for byte: the JSON line around the
// report's own JSON, the table, the summary and the fleet's plugin line.
#include "command/fleet_json_line.hpp"
#include "command/fleet_nagios_line.hpp"
#include "command/fleet_table.hpp"
#include "probe/report_builders.hpp"
#include "probe/report_json.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>

namespace quorlin::command {
namespace {

using std::chrono::microseconds;

using test::phase;

PhaseResult sent(PhaseResult phase) {
    phase.sent_bytes = 80;
    return phase;
}

ProbeReport confirmed_with_one_ping_lost() {
    return test::report(
        Verdict::data_plane_confirmed,
        {test::handshake_passed(microseconds(581)),
         sent(phase(phase_name::ping, PhaseStatus::passed, "10.0.0.1", {}, "valid matching reply")),
         sent(phase(phase_name::ping, PhaseStatus::unconfirmed, "10.0.0.9", {}, "no valid matching reply before the check deadline"))},
        "127.0.0.1:51820");
}

ProbeReport unconfirmed() {
    return test::report(Verdict::unconfirmed,
                        {phase(phase_name::handshake, PhaseStatus::unconfirmed, "192.0.2.7:51820", {},
                               "no authenticated WireGuard response before the handshake deadline")},
                        "nyc-2.test:51820");
}

fleet::FleetTarget target(std::string name, std::vector<fleet::Label> labels = {}) {
    fleet::FleetTarget built;
    built.name = std::move(name);
    built.labels = std::move(labels);
    return built;
}

TEST(FleetOutput, JsonLineWrapsTheReportUnchanged) {
    const auto fra = target("fra-1", {{"region", "eu"}, {"site", "d\"c1"}});
    const ProbeReport report = confirmed_with_one_ping_lost();
    EXPECT_EQ(fleet_json_line({&fra, report}),
              "{\"target\":\"fra-1\",\"labels\":{\"region\":\"eu\",\"site\":\"d\\\"c1\"},\"report\":" + to_json(report) +
                  "}\n");
    const auto gone = target("gone");
    EXPECT_EQ(fleet_json_line({&gone, std::unexpected(std::string("could not inspect configuration file x"))}),
              "{\"target\":\"gone\",\"labels\":{},\"error\":\"could not inspect configuration file x\"}\n");
}

// A row from the report's assessment, as the fleet makes it.
std::string row(const fleet::TargetOutcome& outcome, HandshakeThresholds thresholds = {}) {
    if (!outcome.report) return fleet_table_row(outcome, 7, nullptr);
    const Assessment assessment = assess(*outcome.report, {thresholds, {}});
    return fleet_table_row(outcome, 7, &assessment);
}

TEST(FleetOutput, TableRowsAndSummary) {
    const auto fra = target("fra-1");
    const auto nyc = target("nyc-2");
    const auto gone = target("gone");
    EXPECT_EQ(fleet_table_header(5), "TARGET  VERDICT                   HANDSHAKE_MS  CHECKS  DETAIL\n");
    EXPECT_EQ(row({&fra, confirmed_with_one_ping_lost()}),
              "fra-1    data_plane_confirmed             0.581     1/2  "
              "ping 10.0.0.9 unconfirmed: no valid matching reply before the check deadline\n");
    EXPECT_EQ(row({&nyc, unconfirmed()}),
              "nyc-2    unconfirmed                          -       -  handshake 192.0.2.7:51820 unconfirmed: "
              "no authenticated WireGuard response before the handshake deadline\n");
    const ProbeReport all_passed = test::report(Verdict::data_plane_confirmed, {test::handshake_passed(microseconds(581))});
    EXPECT_EQ(row({&fra, all_passed}, {std::nullopt, 0}),
              "fra-1    data_plane_confirmed             0.581       -  "
              "handshake 0.581 ms above the critical threshold of 0 ms\n");
    EXPECT_EQ(row({&gone, std::unexpected(std::string("bad\nfile"))}),
              "gone     refused                              -       -  bad\\nfile\n");

    FleetTally tally;
    tally.total = 4;
    tally.add({&fra, confirmed_with_one_ping_lost()}, ServiceState::ok);
    tally.add({&nyc, unconfirmed()}, ServiceState::critical);
    tally.add({&gone, std::unexpected(std::string("x"))}, ServiceState::unknown);
    EXPECT_EQ(fleet_summary_line(tally, std::chrono::milliseconds(1234), "interrupted"),
              "3 of 4 targets in 1.234 s (interrupted): 1 data_plane_confirmed, 0 authentication_confirmed, "
              "1 unconfirmed, 0 local_error, 1 refused\n");

    FleetTally one;
    one.total = 1;
    one.add({&fra, confirmed_with_one_ping_lost()}, ServiceState::ok);
    EXPECT_EQ(fleet_summary_line(one, std::chrono::milliseconds(5), ""),
              "1 target in 0.005 s: 1 data_plane_confirmed, 0 authentication_confirmed, 0 unconfirmed, 0 local_error\n");
}

TEST(FleetOutput, PluginLineCountsStatesAndNamesTheTargetsNotOk) {
    const auto fra = target("fra-1");
    const auto gone = target("gone");
    FleetTally tally;
    tally.total = 14;
    tally.add({&fra, confirmed_with_one_ping_lost()}, ServiceState::ok);
    tally.add({&gone, std::unexpected(std::string("x"))}, ServiceState::unknown);
    std::vector<fleet::FleetTarget> critical;
    for (int i = 0; i < 12; ++i) critical.push_back(target("c" + std::to_string(i)));
    for (const auto& each : critical) tally.add({&each, unconfirmed()}, ServiceState::critical);
    // A real outage is not hidden behind a target that could not be checked.
    EXPECT_EQ(tally.worst(), ServiceState::critical);

    EXPECT_EQ(fleet_nagios_line(tally, tally.worst(), {100, std::nullopt}, ""),
              "WIREGUARD CRITICAL - 14 targets: 1 OK, 0 WARNING, 12 CRITICAL, 1 UNKNOWN - "
              "CRITICAL: c0, c1, c2, c3, c4, c5, c6, c7, c8, c9 and 2 more - UNKNOWN: gone | 'ok'=1;;;0;14 'warning'=0;;;0;14 "
              "'critical'=12;;;0;14 'unknown'=1;;;0;14 'slowest_handshake'=0.000581s;0.100;;0\n");

    FleetTally none_passed;
    none_passed.total = 2;
    none_passed.add({&gone, std::unexpected(std::string("x"))}, ServiceState::unknown);
    EXPECT_EQ(fleet_nagios_line(none_passed, ServiceState::unknown, {}, "terminated"),
              "WIREGUARD UNKNOWN - terminated after 1 of 2 targets: 0 OK, 0 WARNING, 0 CRITICAL, 1 UNKNOWN - "
              "UNKNOWN: gone | 'ok'=0;;;0;2 'warning'=0;;;0;2 'critical'=0;;;0;2 'unknown'=1;;;0;2\n");
}

}  // namespace
}  // namespace quorlin::command
