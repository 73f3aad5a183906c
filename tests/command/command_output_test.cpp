// The command's pure parts: monitoring-plugin lines, threshold notes, escaping.
#include "command/fleet_nagios_line.hpp"
#include "command/nagios_line.hpp"
#include "command/report_table.hpp"
#include "command/terminal_text.hpp"
#include "probe/report_builders.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace quorlin::command {
namespace {

using std::chrono::microseconds;

using test::handshake_passed;
using test::phase;
using test::report;

PhaseResult echo(const char* target, bool answered, microseconds elapsed = microseconds(400)) {
    PhaseResult sent = phase(phase_name::ping, answered ? PhaseStatus::passed : PhaseStatus::unconfirmed, target,
                             elapsed, answered ? "valid matching reply" : "no reply");
    sent.sent_bytes = 84;
    return sent;
}

PhaseResult lookup_unanswered() {
    PhaseResult sent = phase(phase_name::dns, PhaseStatus::unconfirmed, "nx.test via 10.99.0.1", microseconds(2'000'000),
                             "no answer");
    sent.sent_bytes = 96;
    return sent;
}

ProbeReport resolution_failed() {
    return report(Verdict::local_error, {phase(phase_name::endpoint_resolution, PhaseStatus::error, std::nullopt, {},
                                               "could not resolve a|b;c\n'x'=1")});
}

ProbeReport handshake_failed() {
    return report(Verdict::unconfirmed,
                  {phase(phase_name::handshake, PhaseStatus::unconfirmed, "127.0.0.1:51820", microseconds(3'000'000),
                         "no response"),
                   phase(phase_name::ping, PhaseStatus::skipped, "10.99.0.1"),
                   phase(phase_name::dns, PhaseStatus::skipped, "a.test via 10.99.0.1")});
}

ProbeReport second_ping_lost() {
    return report(Verdict::data_plane_confirmed,
                  {handshake_passed(microseconds(181'234)), phase(phase_name::keepalive, PhaseStatus::sent, "127.0.0.1:51820"),
                   echo("10.99.0.1", false), echo("10.99.0.2", true, microseconds(320)),
                   lookup_unanswered()});
}

ProbeReport echoes_skipped() {
    std::vector<PhaseResult> phases{phase(phase_name::handshake, PhaseStatus::unconfirmed, "127.0.0.1:51820",
                                          microseconds(3'000'000), "no response")};
    for (int i = 0; i < 3; ++i) phases.push_back(phase(phase_name::ping, PhaseStatus::skipped, "10.99.0.1"));
    return report(Verdict::unconfirmed, std::move(phases));
}

ProbeReport all_passed() {
    return report(Verdict::data_plane_confirmed, {handshake_passed(microseconds(412)), echo("10.99.0.1", true)});
}

ProbeReport waited_for_the_turn(std::chrono::milliseconds wait) {
    ProbeReport built = all_passed();
    built.key_turn_wait = wait;
    return built;
}

// A port that accepts and one that refuses: the refused one passed as a
// phase (its reset crossed the tunnel) and has no time to show.
ProbeReport one_port_refused() {
    PhaseResult accepted = phase(phase_name::tcp, PhaseStatus::passed, "10.99.0.1:443", microseconds(900),
                                 "connection accepted (SYN-ACK)");
    accepted.round_trip = microseconds(351);
    PhaseResult refused = phase(phase_name::tcp, PhaseStatus::passed, "10.99.0.1:81", microseconds(300),
                                "connection refused (RST)");
    refused.service_failure = "refused";
    return report(Verdict::data_plane_confirmed, {handshake_passed(microseconds(412)), accepted, refused});
}

ProbeReport echoes_lost() {
    return report(Verdict::data_plane_confirmed,
                  {handshake_passed(microseconds(2'146)), echo("10.99.0.1", true, microseconds(12'500)),
                   echo("10.99.0.1", false), echo("10.99.0.1", true, microseconds(7'500)), echo("10.99.0.1", false)});
}

TEST(NagiosLine, SummaryAndPerfdataByteForByte) {
    const struct {
        const char* label;
        ProbeReport report;
        ServiceState state;
        HandshakeThresholds thresholds;
        PingThresholds ping;
        std::string expected;
    } cases[] = {
        {"a failed check has no label, the others keep their numbers", second_ping_lost(), ServiceState::warning,
         {100, 500}, {},
         "WIREGUARD WARNING - data_plane_confirmed at peer.test:51820, 1 of 3 checks passed - handshake 181.234 ms "
         "above the warning threshold of 100 ms, ping 10.99.0.1 unanswered, dns nx.test unanswered | "
         "'handshake'=0.181234s;0.100;0.500;0 'ping2'=0.000320s;;;0 'sent'=356B;;;0 'received'=284B;;;0\n"
         "ping 10.99.0.1: no reply\n"
         "ping 10.99.0.2: valid matching reply, round trip 0.320 ms\n"
         "dns nx.test via 10.99.0.1: no answer\n"
         "threshold: handshake 181.234 ms above the warning threshold of 100 ms\n"},
        {"no handshake: no time at all", handshake_failed(), ServiceState::critical, {}, {},
         "WIREGUARD CRITICAL - unconfirmed at peer.test:51820, 0 of 2 checks passed - handshake 127.0.0.1:51820 "
         "unconfirmed: no response | 'sent'=356B;;;0 'received'=284B;;;0\n"
         "handshake 127.0.0.1:51820 unconfirmed: no response\n"
         "ping 10.99.0.1: skipped\n"
         "dns a.test via 10.99.0.1: skipped\n"},
        {"echoes that never went out are lost", echoes_skipped(), ServiceState::critical, {}, {std::nullopt, PingLimit{100, 50}},
         "WIREGUARD CRITICAL - unconfirmed at peer.test:51820, 0 of 1 checks passed - handshake 127.0.0.1:51820 "
         "unconfirmed: no response | 'ping1_pl'=100%;;50;0;100 'sent'=356B;;;0 'received'=284B;;;0\n"
         "handshake 127.0.0.1:51820 unconfirmed: no response\n"
         "ping 10.99.0.1: skipped\n"},
        {"texts from outside cannot break the line", resolution_failed(), ServiceState::unknown, {std::nullopt, 7}, {},
         "WIREGUARD UNKNOWN - local_error at peer.test:51820 - endpoint_resolution error: could not resolve "
         "a\\x7cb,c\\n\\x27x\\x27=1 | 'sent'=356B;;;0 'received'=284B;;;0\n"
         "endpoint_resolution error: could not resolve a\\x7cb,c\\n\\x27x\\x27=1\n"},
        {"a state set only by a threshold says which", all_passed(), ServiceState::critical, {std::nullopt, 0}, {},
         "WIREGUARD CRITICAL - data_plane_confirmed at peer.test:51820, 1 of 1 checks passed - handshake 0.412 ms "
         "above the critical threshold of 0 ms | 'handshake'=0.000412s;;0.000;0 'ping1'=0.000400s;;;0 "
         "'sent'=356B;;;0 'received'=284B;;;0\n"
         "ping 10.99.0.1: valid matching reply, round trip 0.400 ms\n"
         "threshold: handshake 0.412 ms above the critical threshold of 0 ms\n"},
        {"ping thresholds say which, one clause per target", echoes_lost(), ServiceState::critical, {},
         {PingLimit{10, 40}, PingLimit{100, 50}},
         "WIREGUARD CRITICAL - data_plane_confirmed at peer.test:51820, handshake 2.146 ms, 0 of 1 checks passed - "
         "ping 10.99.0.1 loss 50% reaches the critical threshold of 50% | 'handshake'=0.002146s;;;0 "
         "'ping1_rta'=0.010000s;0.010000;0.100000;0 'ping1_pl'=50%;40;50;0;100 'sent'=356B;;;0 'received'=284B;;;0\n"
         "ping 10.99.0.1: 2 of 4 received, 50% loss, round trip min/avg/max 7.500/10.000/12.500 ms\n"
         "threshold: ping 10.99.0.1 loss 50% reaches the critical threshold of 50%\n"},
        {"TCP checks: a time for the port that accepted", one_port_refused(), ServiceState::warning, {}, {},
         "WIREGUARD WARNING - data_plane_confirmed at peer.test:51820, handshake 0.412 ms, 1 of 2 checks passed - "
         "tcp 10.99.0.1:81 refused | 'handshake'=0.000412s;;;0 'tcp1'=0.000351s;;;0 'sent'=356B;;;0 "
         "'received'=284B;;;0\n"
         "tcp 10.99.0.1:443: connection accepted (SYN-ACK), round trip 0.351 ms\n"
         "tcp 10.99.0.1:81: connection refused (RST)\n"},
        {"a wait for the turn is a long-output line", waited_for_the_turn(std::chrono::milliseconds(1'799)),
         ServiceState::ok, {}, {},
         "WIREGUARD OK - data_plane_confirmed at peer.test:51820, handshake 0.412 ms, 1 of 1 checks passed | "
         "'handshake'=0.000412s;;;0 'ping1'=0.000400s;;;0 'sent'=356B;;;0 'received'=284B;;;0\n"
         "ping 10.99.0.1: valid matching reply, round trip 0.400 ms\n"
         "waited 1.7 s for the turn of this key\n"},
        {"the spacing alone is not worth telling", waited_for_the_turn(std::chrono::milliseconds(99)),
         ServiceState::ok, {}, {},
         "WIREGUARD OK - data_plane_confirmed at peer.test:51820, handshake 0.412 ms, 1 of 1 checks passed | "
         "'handshake'=0.000412s;;;0 'ping1'=0.000400s;;;0 'sent'=356B;;;0 'received'=284B;;;0\n"
         "ping 10.99.0.1: valid matching reply, round trip 0.400 ms\n"},
    };
    for (const auto& c : cases) {
        const Thresholds thresholds{c.thresholds, c.ping};
        const Assessment assessment = assess(c.report, thresholds);
        EXPECT_EQ(assessment.state, c.state) << c.label;
        EXPECT_EQ(nagios_line(c.report, assessment, thresholds), c.expected) << c.label;
    }
    EXPECT_EQ(nagios_unknown_line("interrupted"), "WIREGUARD UNKNOWN - interrupted\n");
}

TEST(ReportTable, ThresholdThatSetTheStateIsNamed) {
    const auto table = [](const ProbeReport& built, HandshakeThresholds thresholds = {}) {
        return report_table(built, assess(built, {thresholds, {}}));
    };
    EXPECT_TRUE(table(all_passed(), {std::nullopt, 0}).ends_with(
        "threshold: handshake 0.412 ms above the critical threshold of 0 ms\n"));
    EXPECT_EQ(table(all_passed(), {1, 2}).find("threshold:"), std::string::npos);
    EXPECT_TRUE(table(waited_for_the_turn(std::chrono::milliseconds(100)))
                    .ends_with("  valid matching reply\nwaited 0.1 s for the turn of this key\n"));
    EXPECT_EQ(table(waited_for_the_turn(std::chrono::milliseconds(99))).find("waited"), std::string::npos);
}

// What Nagios and Icinga 2 accept, for every output either writer gives: a
// first line with no ';' in the summary (Nagios rewrites it) and every datum
// 'label'=value[UOM];[warn];[crit];[min];[max] with a number as value (Icinga 2
// refuses U), a unit of s, % or B, and each label once; then long-output
// lines, our own text, with no '|' (it would start more performance data) and
// none of the characters Nagios strips from what reaches its macros.
void expect_plugin_rules(const std::string& output, const std::string& label) {
    SCOPED_TRACE(label + ": " + output);
    ASSERT_TRUE(output.ends_with('\n'));
    const std::string line = output.substr(0, output.find('\n') + 1);
    std::istringstream long_output(output.substr(line.size()));
    for (std::string more; std::getline(long_output, more);) {
        EXPECT_TRUE(std::regex_match(more, std::regex("[^;|`~$&'\"<>]+"))) << more;
    }
    const std::size_t bar = line.find(" | ");
    const std::string summary = line.substr(0, bar);
    EXPECT_TRUE(std::regex_match(summary, std::regex("WIREGUARD (OK|WARNING|CRITICAL|UNKNOWN) - [^;|]+\n?")));
    if (bar == std::string::npos) return;
    const std::string perfdata = line.substr(bar + 3, line.size() - bar - 4);
    const std::string number = R"(-?[0-9]+(\.[0-9]+)?)";
    const std::regex datum("'([a-z0-9_]+)'=" + number + "(s|%|B)?(;(" + number + ")?){0,4}");
    std::vector<std::string> labels;
    std::istringstream tokens(perfdata);
    for (std::string token; std::getline(tokens, token, ' ');) {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(token, match, datum)) << token;
        if (match.size() > 1) labels.push_back(match[1]);
    }
    std::ranges::sort(labels);
    EXPECT_EQ(std::ranges::adjacent_find(labels), labels.end());
}

TEST(PluginLine, EveryLineFollowsTheRulesOfTheMonitoringSystems) {
    const HandshakeThresholds handshake_limits[] = {{}, {0, 0}, {100, 500}};
    const PingThresholds ping_limits[] = {{}, {PingLimit{1, 10}, PingLimit{5, 20}}};
    const std::pair<const char*, ProbeReport> reports[] = {
        {"resolution failed", resolution_failed()}, {"handshake failed", handshake_failed()},
        {"a check failed", second_ping_lost()},     {"all passed", all_passed()},
        {"echoes lost", echoes_lost()},           {"waited", waited_for_the_turn(std::chrono::milliseconds(2'000))},
        {"a port refused", one_port_refused()},
    };
    for (const auto& [label, built] : reports) {
        for (const auto& limits : handshake_limits) {
            for (const auto& ping : ping_limits) {
                const Thresholds thresholds{limits, ping};
                expect_plugin_rules(nagios_line(built, assess(built, thresholds), thresholds, true), label);
            }
        }
    }
    expect_plugin_rules(nagios_unknown_line("could not read x;y|z\n"), "unknown");

    fleet::FleetTarget fra;
    fra.name = "fra-1";
    fleet::FleetTarget gone;
    gone.name = "gone";
    FleetTally none_passed;
    none_passed.total = 3;
    none_passed.add({&gone, std::unexpected(std::string("x"))}, ServiceState::unknown);
    none_passed.add({&fra, handshake_failed()}, ServiceState::critical);
    FleetTally mixed = none_passed;
    mixed.add({&fra, all_passed()}, ServiceState::ok);
    for (const FleetTally& tally : {none_passed, mixed}) {
        for (const char* stopped_by : {"", "terminated"}) {
            expect_plugin_rules(fleet_nagios_line(tally, tally.worst(), {100, 500}, stopped_by), "fleet");
        }
    }
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
