#include "command/threshold_text.hpp"

#include "common/decimal_text.hpp"
#include "command/ping_text.hpp"
#include "command/terminal_text.hpp"
#include "probe/ping_summary.hpp"

#include <chrono>

namespace quorlin::command {

namespace {

std::string level_text(ServiceState state) { return state == ServiceState::critical ? "critical" : "warning"; }

}  // namespace

std::string handshake_threshold_note(const ProbeReport& report, const HandshakeThresholds& thresholds) {
    const ServiceState exceeded = threshold_state(report, thresholds);
    if (exceeded == ServiceState::ok) return {};
    const bool critical = exceeded == ServiceState::critical;
    std::string out = "handshake ";
    append_thousandths(out, whole_microseconds(measured_time(*passed_handshake(report))));
    out += " ms above the " + level_text(exceeded) + " threshold of ";
    out += std::to_string(critical ? *thresholds.critical_ms : *thresholds.warning_ms) + " ms";
    return out;
}

std::vector<std::string> ping_threshold_notes(const ProbeReport& report, const PingThresholds& thresholds) {
    std::vector<std::string> notes;
    const ServiceState reached = ping_state(report, thresholds);
    if (reached == ServiceState::ok) return notes;
    const PingLimit& limit = reached == ServiceState::critical ? *thresholds.critical : *thresholds.warning;
    const std::string level = level_text(reached);
    for (const PingSummary& ping : ping_summaries(report)) {
        if (ping.sent == 0) continue;
        const std::string target = "ping " + shown(ping.target);
        if (ping.rtt_avg && *ping.rtt_avg >= std::chrono::milliseconds(limit.rta_ms)) {
            std::string note = target + " round trip average ";
            append_thousandths(note, whole_microseconds(*ping.rtt_avg));
            notes.push_back(note + " ms reaches the " + level + " threshold of " + std::to_string(limit.rta_ms) + " ms");
        }
        if (const auto loss = ping.loss_percent(); loss && *loss >= limit.loss_percent) {
            notes.push_back(target + " loss " + whole_percent(*loss) + "% reaches the " + level + " threshold of " +
                            whole_percent(limit.loss_percent) + "%");
        }
    }
    return notes;
}

std::vector<std::string> threshold_notes(const ProbeReport& report, const HandshakeThresholds& thresholds,
                                         const PingThresholds& ping_thresholds) {
    std::vector<std::string> notes;
    if (std::string note = handshake_threshold_note(report, thresholds); !note.empty()) notes.push_back(std::move(note));
    for (std::string& note : ping_threshold_notes(report, ping_thresholds)) notes.push_back(std::move(note));
    return notes;
}

}  // namespace quorlin::command
