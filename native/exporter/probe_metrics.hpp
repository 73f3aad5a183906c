#pragma once
// The answer to /probe: the metrics of one probe, in the Prometheus text
// format, built afresh for each request (nothing is left over from an earlier
// probe). Times are in seconds, sizes in bytes:
//   probe_success                        1 when the probe's state is OK (the
//                                        single probe would exit 0)
//   probe_duration_seconds               the whole probe, planning included
//   quorlin_probe_verdict{verdict}       1 for the verdict, 0 for the other three
//   quorlin_phase_duration_seconds{phase,check}
//   quorlin_phase_success{phase,check}   for each phase that ran and each
//                                        check asked; `check` is the ping
//                                        target or DNS name of a check, empty
//                                        for the other phases
//   quorlin_probe_sent_bytes, quorlin_probe_received_bytes
// A check asked that did not run (the handshake failed, or the probe ended
// before it) has success 0 and no duration: an alert on a check fires when
// everything is down, and a lost answer never shows as a zero duration. A
// check asked twice is one series: passed only when both passed, with the
// longer duration.

#include "common/clock.hpp"
#include "input/options.hpp"
#include "probe/outcome.hpp"
#include "probe/report.hpp"

#include <string>
#include <string_view>

namespace quorlin::exporter {

// The content type of every metrics answer.
inline constexpr std::string_view metrics_content_type = "text/plain; version=0.0.4; charset=utf-8";

struct ProbeOutcome {
    // Null when no probe ran: the target's files could no longer be read. The
    // verdict is then local_error, as for any failure on this machine.
    const ProbeReport* report = nullptr;
    Clock::duration duration{};
    PingThresholds ping_thresholds;  // the target's, from the fleet file
    CertificateThresholds certificate_thresholds;
    // The checks the target asks for, from the fleet file; null: only what the report holds.
    const input::OptionTexts* asked = nullptr;
};

std::string probe_metrics_text(const ProbeOutcome& outcome);

}  // namespace quorlin::exporter
