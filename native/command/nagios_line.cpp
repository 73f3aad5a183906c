#include "command/nagios_line.hpp"

#include "command/key_turn_text.hpp"
#include "common/decimal_text.hpp"
#include "command/ping_text.hpp"
#include "command/plugin_text.hpp"
#include "command/threshold_text.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

namespace quorlin::command {

namespace {

void append_summary(std::string& out, const ProbeReport& report, const HandshakeThresholds& thresholds,
                    const PingThresholds& ping_thresholds) {
    out += verdict_text(report.verdict);
    out += " at ";
    append_plugin_text(out, report.endpoint);
    const PhaseResult* handshake = passed_handshake(report);
    if (handshake != nullptr) {
        if (std::string note = handshake_threshold_note(report, thresholds); !note.empty()) {
            out += ", " + note;
        } else {
            out += ", handshake ";
            append_thousandths(out, whole_microseconds(measured_time(*handshake)));
            out += " ms";
        }
        const CheckCount checks = count_checks(report);
        if (checks.asked > 0) {
            out += ", " + std::to_string(checks.passed) + " of " + std::to_string(checks.asked) + " checks passed";
        }
        const std::vector<PingSummary> pings = ping_summaries(report);
        if (several_echoes(pings, report)) {
            for (const PingSummary& ping : pings) {
                std::string target;
                append_plugin_text(target, ping.target);
                out += ", " + ping_summary_text(target, ping);
            }
        }
        for (const std::string& note : ping_threshold_notes(report, ping_thresholds)) {
            out += ", ";
            append_plugin_text(out, note);
        }
        const PhaseResult* mtu = path_mtu_phase(report);
        if (path_mtu_state(report) != ServiceState::ok && mtu->path_mtu && mtu->path_mtu->largest_crossed) {
            out += ", path MTU " + std::to_string(*mtu->path_mtu->largest_crossed) + " < " +
                   std::to_string(mtu->path_mtu->expected);
        }
    }
    bool first = true;
    for (const PhaseResult& phase : report.phases) {
        if (phase.status == PhaseStatus::passed || phase.status == PhaseStatus::sent ||
            phase.status == PhaseStatus::skipped) {
            continue;
        }
        out += first ? std::string(summary_part_separator) + "failed: " : std::string(list_separator);
        first = false;
        out += phase.phase;
        if (phase.target) {
            out.push_back(' ');
            append_plugin_text(out, *phase.target);
        }
        out.push_back(' ');
        out += status_text(phase.status);
        if (phase.detail) {
            out += ": ";
            append_plugin_text(out, *phase.detail);
        }
    }
}

// A phase that did not pass has no time to show: its label is left out
// (Icinga 2 refuses the undetermined value U).
void append_time_datum(std::string& out, std::string_view label, const PhaseResult* phase,
                       const HandshakeThresholds* thresholds) {
    if (phase == nullptr || phase->status != PhaseStatus::passed) return;
    out += " '";
    out += label;
    out += "'=";
    append_seconds(out, measured_time(*phase));
    out.push_back(';');
    if (thresholds && thresholds->warning_ms) append_thousandths(out, *thresholds->warning_ms);
    out.push_back(';');
    if (thresholds && thresholds->critical_ms) append_thousandths(out, *thresholds->critical_ms);
    out += ";0";
}

// 'ping1_rta'=0.000412s;W;C;0 'ping1_pl'=30%;W;C;0;100, as the standard
// ping check writes them; a value that does not exist is left out.
void append_ping_perfdata(std::string& out, const std::vector<PingSummary>& pings, const PingThresholds& limits) {
    const auto limit = [&](const std::optional<PingLimit>& level, bool rta) {
        if (!level) return std::string();
        if (!rta) return whole_percent(level->loss_percent);
        std::string text;
        append_seconds(text, std::chrono::milliseconds(level->rta_ms));
        return text.substr(0, text.size() - 1);  // the unit goes with the value only
    };
    for (std::size_t i = 0; i < pings.size(); ++i) {
        const std::string label = "ping" + std::to_string(i + 1);
        if (pings[i].rtt_avg) {
            out += " '" + label + "_rta'=";
            append_seconds(out, *pings[i].rtt_avg);
            out += ";" + limit(limits.warning, true) + ";" + limit(limits.critical, true) + ";0";
        }
        if (const auto loss = pings[i].loss_percent()) {
            out += " '" + label + "_pl'=" + whole_percent(*loss) + "%;" + limit(limits.warning, false) + ";" +
                   limit(limits.critical, false) + ";0;100";
        }
    }
}

void append_perfdata(std::string& out, const ProbeReport& report, const HandshakeThresholds& thresholds,
                     const PingThresholds& ping_thresholds) {
    const PhaseResult* handshake = nullptr;
    for (const PhaseResult& phase : report.phases) {
        if (phase.phase == phase_name::handshake) handshake = &phase;
    }
    out += " |";
    append_time_datum(out, "handshake", handshake, &thresholds);
    const std::vector<PingSummary> summaries = ping_summaries(report);
    const bool per_target = several_echoes(summaries, report);
    if (per_target) append_ping_perfdata(out, summaries, ping_thresholds);
    std::size_t pings = 0;
    std::size_t lookups = 0;
    for (const PhaseResult& phase : report.phases) {
        if (phase.phase == phase_name::ping && !per_target) {
            append_time_datum(out, "ping" + std::to_string(++pings), &phase, nullptr);
        } else if (phase.phase == phase_name::dns) {
            append_time_datum(out, "dns" + std::to_string(++lookups), &phase, nullptr);
        }
    }
    out += " 'sent'=" + std::to_string(report.sent_bytes) + "B;;;0";
    out += " 'received'=" + std::to_string(report.received_bytes) + "B;;;0";
}

}  // namespace

std::string nagios_line(const ProbeReport& report, ServiceState state, const HandshakeThresholds& thresholds,
                        const PingThresholds& ping_thresholds) {
    std::string out = "WIREGUARD ";
    out += state_text(state);
    out += " - ";
    append_summary(out, report, thresholds, ping_thresholds);
    append_perfdata(out, report, thresholds, ping_thresholds);
    out.push_back('\n');
    if (const auto waited = key_turn_wait_note(report)) out += *waited + "\n";
    return out;
}

std::string nagios_unknown_line(std::string_view message) {
    std::string out = "WIREGUARD UNKNOWN - ";
    append_plugin_text(out, message);
    out.push_back('\n');
    return out;
}

}  // namespace quorlin::command
