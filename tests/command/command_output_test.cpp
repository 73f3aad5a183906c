// The command's pure parts: monitoring-plugin line, escaping.
#include "command/nagios_line.hpp"
#include "command/terminal_text.hpp"
#include "probe/report_builders.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorlin::command {
namespace {

using std::chrono::microseconds;

using test::handshake_passed;
using test::phase;
using test::report;

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
