#pragma once
// The monitoring-plugin output of one probe, one line:
//   WIREGUARD <STATE> - <summary> | <perfdata>
// The summary names the verdict, the endpoint as configured, the handshake time, the checks passed and
// each phase that failed. The performance data, in
// 'label'=value[UOM];[warn];[crit];[min];[max] form:
//   'handshake'  the handshake round trip in seconds, with the thresholds
//   'pingN', 'dnsN'  each check's time in seconds, numbered in the order asked
//   'sent', 'received'  the bytes of the whole run
// Times have microsecond precision. A phase that did not pass has no round
// trip to show: its value is U (undetermined), never a time spent waiting.

#include "command/service_state.hpp"
#include "probe/report.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace quorlin::command {

// The line, newline included.
std::string nagios_line(const ProbeReport& report, ServiceState state, const HandshakeThresholds& thresholds);

// The line for a probe that gave no report (a refused input, Ctrl-C): UNKNOWN,
// the message as the summary, no performance data.
std::string nagios_unknown_line(std::string_view message);

// Pieces of the line, shared with the fleet's line.
std::uint64_t whole_microseconds(Clock::duration span);
// A count of thousandths as a decimal with three places: 581 -> "0.581".
void append_thousandths(std::string& out, std::uint64_t thousandths);
// Seconds with six places and the unit: "0.000581s".
void append_seconds(std::string& out, Clock::duration span);

}  // namespace quorlin::command
