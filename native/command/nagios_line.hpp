#pragma once
// The monitoring-plugin output of one probe, a first line
//   WIREGUARD <STATE> - <summary> | <perfdata>
// and, when the probe waited for its key's turn (key_turn_text.hpp), a
// long-output line after it, which Nagios and Icinga 2 show with the details.
// The summary names the verdict, the endpoint as configured, the handshake time, the checks passed and
// each phase that failed. The performance data, in
// 'label'=value[UOM];[warn];[crit];[min];[max] form:
//   'handshake'  the handshake round trip in seconds, with the thresholds
//   'pingN', 'dnsN'  each check's time in seconds, numbered in the order asked
//   'sent', 'received'  the bytes of the whole run
// Times have microsecond precision. A phase that did not pass has no round
// trip to show: its label is left out (never U, never a time spent waiting);
// the labels keep their numbers, so ping2 is always the second target asked.
// The summary holds no ';' (plugin_text.hpp).

#include "probe/outcome.hpp"

#include <string>
#include <string_view>

namespace quorlin::command {

// The output, each line ending in a newline.
std::string nagios_line(const ProbeReport& report, ServiceState state, const HandshakeThresholds& thresholds,
                        const PingThresholds& ping_thresholds = {});

// The line for a probe that gave no report (a refused input, Ctrl-C): UNKNOWN,
// the message as the summary, no performance data.
std::string nagios_unknown_line(std::string_view message);

}  // namespace quorlin::command
