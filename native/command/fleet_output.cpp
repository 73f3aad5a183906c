#include "command/fleet_output.hpp"

#include "command/nagios_line.hpp"
#include "command/terminal_text.hpp"
#include "probe/report_json.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace quorlin::command {

namespace {

// The widest verdict, "authentication_confirmed", and the column headers.
constexpr std::size_t verdict_width = 24;
constexpr std::string_view target_header = "TARGET";
constexpr std::string_view handshake_header = "HANDSHAKE_MS";
constexpr std::string_view checks_header = "CHECKS";
constexpr std::string_view refused_verdict = "refused";

// Best first, as the summary lists them.
constexpr std::array<Verdict, 4> verdict_order = {Verdict::data_plane_confirmed, Verdict::authentication_confirmed,
                                                  Verdict::unconfirmed, Verdict::local_error};
// Worst first, as the plugin line names targets.
constexpr std::array<ServiceState, 3> alert_order = {ServiceState::unknown, ServiceState::critical,
                                                     ServiceState::warning};

std::size_t index_of(Verdict verdict) { return static_cast<std::size_t>(verdict); }
std::size_t index_of(ServiceState state) { return static_cast<std::size_t>(state); }

void append_cell(std::string& out, std::string_view cell, std::size_t width, bool right) {
    const std::string padding(width - std::min(width, character_count(cell)), ' ');
    if (right) out += padding;
    out += cell;
    if (!right) out += padding;
    out += "  ";
}

std::size_t name_column(std::size_t name_width) { return std::max(name_width, target_header.size()); }

// "passed/asked" over the ping and DNS checks, or "-" when none was asked.
std::string checks_cell(const ProbeReport& report) {
    const CheckCount checks = count_checks(report);
    return checks.asked == 0 ? "-" : std::to_string(checks.passed) + "/" + std::to_string(checks.asked);
}

// The first phase that failed: "PHASE [TARGET] STATUS: DETAIL", escaped.
std::string first_failure(const ProbeReport& report) {
    for (const PhaseResult& phase : report.phases) {
        if (phase.status != PhaseStatus::unconfirmed && phase.status != PhaseStatus::error) continue;
        std::string out = phase.phase;
        if (phase.target) out += " " + shown(*phase.target);
        out += " ";
        out += status_text(phase.status);
        if (phase.detail) out += ": " + shown(*phase.detail);
        return out;
    }
    return "-";
}

std::string seconds_text(Clock::duration span) {
    std::string out;
    append_thousandths(out, whole_microseconds(span) / 1000);
    return out;
}

std::string targets_text(const FleetTally& tally) {
    if (tally.done == tally.total) return std::to_string(tally.total) + " targets";
    return std::to_string(tally.done) + " of " + std::to_string(tally.total) + " targets";
}

void append_verdict_counts(std::string& out, const FleetTally& tally, bool nonzero_only) {
    bool first = true;
    const auto append = [&](std::size_t count, std::string_view what) {
        if (nonzero_only && count == 0) return;
        out += first ? "" : ", ";
        first = false;
        out += std::to_string(count) + " ";
        out += what;
    };
    for (Verdict verdict : verdict_order) append(tally.verdicts[index_of(verdict)], verdict_text(verdict));
    if (tally.refused > 0) append(tally.refused, refused_verdict);
}

void append_count_datum(std::string& out, std::string_view label, std::size_t count, std::size_t total) {
    out += " '";
    out += label;
    out += "'=" + std::to_string(count) + ";;;0;" + std::to_string(total);
}

}  // namespace

void FleetTally::add(const fleet::TargetOutcome& outcome, ServiceState state) {
    ++done;
    if (outcome.report) {
        ++verdicts[index_of(outcome.report->verdict)];
        if (const PhaseResult* handshake = passed_handshake(*outcome.report)) {
            slowest_handshake = std::max(slowest_handshake.value_or(Clock::duration::zero()), handshake->elapsed);
        }
    } else {
        ++refused;
    }
    ++states[index_of(state)];
    std::vector<std::string>& names = named[index_of(state)];
    if (state != ServiceState::ok && names.size() < named_per_state) names.push_back(outcome.target->name);
}

ServiceState FleetTally::worst() const noexcept {
    for (ServiceState state : alert_order) {
        if (states[index_of(state)] > 0) return state;
    }
    return ServiceState::ok;
}

std::string fleet_json_line(const fleet::TargetOutcome& outcome) {
    std::string out = "{\"target\":";
    append_json_string(out, outcome.target->name);
    out += ",\"labels\":{";
    for (const fleet::Label& label : outcome.target->labels) {
        if (&label != &outcome.target->labels.front()) out.push_back(',');
        append_json_string(out, label.name);
        out.push_back(':');
        append_json_string(out, label.value);
    }
    out += "},";
    if (outcome.report) {
        out += "\"report\":";
        append_json(out, *outcome.report);
    } else {
        out += "\"error\":";
        append_json_string(out, outcome.report.error());
    }
    out += "}\n";
    return out;
}

std::string fleet_table_header(std::size_t name_width) {
    std::string out;
    append_cell(out, target_header, name_column(name_width), false);
    append_cell(out, "VERDICT", verdict_width, false);
    append_cell(out, handshake_header, handshake_header.size(), true);
    append_cell(out, checks_header, checks_header.size(), true);
    out += "DETAIL\n";
    return out;
}

std::string fleet_table_row(const fleet::TargetOutcome& outcome, std::size_t name_width) {
    std::string out;
    append_cell(out, outcome.target->name, name_column(name_width), false);
    if (!outcome.report) {
        append_cell(out, refused_verdict, verdict_width, false);
        append_cell(out, "-", handshake_header.size(), true);
        append_cell(out, "-", checks_header.size(), true);
        out += shown(outcome.report.error()) + "\n";
        return out;
    }
    const ProbeReport& report = *outcome.report;
    append_cell(out, verdict_text(report.verdict), verdict_width, false);
    std::string handshake = "-";
    if (const PhaseResult* passed = passed_handshake(report)) {
        handshake.clear();
        append_thousandths(handshake, whole_microseconds(passed->elapsed));
    }
    append_cell(out, handshake, handshake_header.size(), true);
    append_cell(out, checks_cell(report), checks_header.size(), true);
    out += first_failure(report) + "\n";
    return out;
}

std::string fleet_summary_line(const FleetTally& tally, Clock::duration wall, bool interrupted) {
    std::string out = targets_text(tally) + " in " + seconds_text(wall) + " s";
    if (interrupted) out += " (interrupted)";
    out += ": ";
    append_verdict_counts(out, tally, false);
    out.push_back('\n');
    return out;
}

std::string fleet_nagios_line(const FleetTally& tally, ServiceState state, const HandshakeThresholds& thresholds,
                              bool interrupted) {
    std::string out = "WIREGUARD ";
    out += state_text(state);
    out += " - ";
    if (interrupted) out += "interrupted after ";
    out += targets_text(tally) + ": ";
    for (ServiceState counted : {ServiceState::ok, ServiceState::warning, ServiceState::critical, ServiceState::unknown}) {
        if (counted != ServiceState::ok) out += ", ";
        out += std::to_string(tally.states[index_of(counted)]) + " ";
        out += state_text(counted);
    }
    for (ServiceState alert : alert_order) {
        const std::vector<std::string>& names = tally.named[index_of(alert)];
        if (names.empty()) continue;
        out += "; ";
        out += state_text(alert);
        out += ": ";
        for (const std::string& name : names) out += (&name == &names.front() ? "" : ", ") + name;
        const std::size_t more = tally.states[index_of(alert)] - names.size();
        if (more > 0) out += " and " + std::to_string(more) + " more";
    }
    out += " |";
    append_count_datum(out, "ok", tally.states[index_of(ServiceState::ok)], tally.total);
    append_count_datum(out, "warning", tally.states[index_of(ServiceState::warning)], tally.total);
    append_count_datum(out, "critical", tally.states[index_of(ServiceState::critical)], tally.total);
    append_count_datum(out, "unknown", tally.states[index_of(ServiceState::unknown)], tally.total);
    out += " 'slowest_handshake'=";
    if (tally.slowest_handshake) {
        append_seconds(out, *tally.slowest_handshake);
    } else {
        out += "U";
    }
    out.push_back(';');
    if (thresholds.warning_ms) append_thousandths(out, *thresholds.warning_ms);
    out.push_back(';');
    if (thresholds.critical_ms) append_thousandths(out, *thresholds.critical_ms);
    out += ";0\n";
    return out;
}

std::string fleet_progress_text(const FleetTally& tally, Clock::duration elapsed) {
    std::string out = std::to_string(tally.done) + " of " + std::to_string(tally.total) + " done";
    if (tally.done == 0) return out;
    out += ": ";
    append_verdict_counts(out, tally, true);
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (seconds <= 0) return out;
    const double rate = static_cast<double>(tally.done) / seconds;
    char figures[96];
    const int length = std::snprintf(figures, sizeof figures, "; %.1f/s, about %.0f s left", rate,
                                     std::ceil(static_cast<double>(tally.total - tally.done) / rate));
    out.append(figures, static_cast<std::size_t>(length));
    return out;
}

}  // namespace quorlin::command
