#pragma once
// The monitoring-plugin output of one probe, by the plugin guidelines: a
// first line
//   WIREGUARD <STATE> - <summary> | <perfdata>
// then long-output lines, which Nagios and Icinga 2 show with the details.
// The summary (about 200 characters at most) names the verdict, the endpoint
// as configured, the handshake round trip, the checks passed, then one clause
// per reason for the state: the phase that stopped the run, each threshold
// reached, each check that failed ("dns NAME SERVFAIL", "path MTU 1168 below
// 1420"), never one per echo. The long output: one line per check asked with
// how it went, the threshold lines, the wait for the key's turn, and with -v
// the table. The performance data, in 'label'=value[UOM];[warn];[crit];[min];[max]:
//   'handshake'  the handshake's answered round trip in seconds, with the thresholds
//   'pingN'      one echo per target: its round trip in seconds
//   'pingN_rta', 'pingN_pl'  several echoes: average round trip and loss, as
//                the standard ping check writes them (100% when none went out)
//   'dnsN'       each DNS check's round trip in seconds
//   'tcpN'       each TCP check's connection round trip (SYN to SYN-ACK) in seconds
//   'path_mtu'   the largest inner packet that crossed, in bytes, warning
//                below the expected size ("1420:")
//   'sent', 'received'  the bytes of the whole run
// Numbers follow the order asked. A value that does not exist is left out
// (never U). No text holds ';' or a character Nagios strips from macros
// (plugin_text.hpp).

#include "probe/assessment.hpp"

#include <string>
#include <string_view>

namespace quorlin::command {

// The output, each line ending in a newline.
std::string nagios_line(const ProbeReport& report, const Assessment& assessment, const Thresholds& thresholds,
                        bool verbose = false);

// The line for a probe that gave no report (a refused input, Ctrl-C): UNKNOWN,
// the message as the summary, no performance data.
std::string nagios_unknown_line(std::string_view message);

}  // namespace quorlin::command
