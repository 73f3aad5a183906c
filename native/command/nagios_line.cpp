#include "command/nagios_line.hpp"

#include "command/key_turn_text.hpp"
#include "command/perfdata.hpp"
#include "command/plugin_text.hpp"
#include "command/report_table.hpp"
#include "common/decimal_text.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quorlin::command {

namespace {

// The first line stays short: Nagios keeps 8 KiB of output in all and shows
// the first line in lists; the details follow on their own lines.
constexpr std::size_t summary_budget = 200;

// What stopped a run that did not reach its checks: the first phase that
// failed, as "handshake unconfirmed: no authenticated response ...".
std::optional<std::string> failed_phase_text(const ProbeReport& report) {
    for (const PhaseResult& phase : report.phases) {
        if (phase.status != PhaseStatus::error && phase.status != PhaseStatus::unconfirmed) continue;
        if (phase.phase == phase_name::ping || phase.phase == phase_name::dns || phase.phase == phase_name::tcp ||
            phase.phase == phase_name::tls || phase.phase == phase_name::http || phase.phase == phase_name::path_mtu) {
            continue;  // told by their checks
        }
        return phase_failure_text(phase);
    }
    return std::nullopt;
}

void append_summary(std::string& out, const ProbeReport& report, const Assessment& assessment) {
    const std::size_t start = out.size();
    std::string head = std::string(verdict_text(report.verdict)) + " at ";
    append_plugin_text(head, report.endpoint);
    // A handshake above a threshold is told by its breach, with its time.
    const bool handshake_breach = !assessment.breaches.empty() && assessment.breaches.front().handshake;
    if (assessment.handshake && !handshake_breach) {
        head += ", handshake ";
        append_thousandths(head, whole_microseconds(*assessment.handshake));
        head += " ms";
    }
    if (!assessment.checks.empty()) {
        head += ", " + std::to_string(assessment.passed_checks()) + " of " + std::to_string(assessment.checks.size()) +
                " checks passed";
    }
    // One clause per reason: what stopped the run, each threshold reached,
    // each check that failed for a reason no threshold gives.
    std::vector<std::string> clauses;
    if (!assessment.handshake) {
        if (auto failed = failed_phase_text(report)) clauses.push_back(std::move(*failed));
    }
    for (const Breach& breach : assessment.breaches) clauses.push_back(breach.text);
    if (assessment.handshake) {
        for (const CheckAssessment& check : assessment.checks) {
            if (!check.failure.empty()) clauses.push_back(check.failure);
        }
    }
    out += head;
    std::size_t shown = 0;
    for (const std::string& clause : clauses) {
        std::string text;
        append_plugin_text(text, clause);
        const std::size_t left = clauses.size() - shown - 1;
        // Room for this clause and, if more follow, for ", and N more".
        if (out.size() - start + 2 + text.size() + (left > 0 ? 16 : 0) > summary_budget && shown > 0) break;
        out += (shown == 0 ? std::string(summary_part_separator) : std::string(list_separator)) + text;
        ++shown;
    }
    if (shown < clauses.size()) out += ", and " + std::to_string(clauses.size() - shown) + " more";
}

// 'label'=0.000412s;W;C;0
void append_time_datum(std::string& out, const std::string& label, Clock::duration value,
                       const HandshakeThresholds* thresholds) {
    PerfDatum datum{.label = label, .value = seconds_value(value)};
    if (thresholds) {
        datum.warning = seconds_level(thresholds->warning_ms);
        datum.critical = seconds_level(thresholds->critical_ms);
    }
    append_perf_datum(out, datum);
}

std::string rta_level(const std::optional<PingLimit>& level) {
    if (!level) return {};
    std::string text = seconds_value(std::chrono::milliseconds(level->rta_ms));
    text.pop_back();  // the unit goes with the value only
    return text;
}

std::string loss_level(const std::optional<PingLimit>& level) {
    return level ? whole_percent(level->loss_percent) : std::string();
}

// Per ping target as the standard ping check writes them:
// 'ping1_rta'=0.000412s;W;C;0 'ping1_pl'=30%;W;C;0;100. A target whose
// echoes never went out (the handshake failed) lost them all: 100%.
void append_ping_target(std::string& out, std::size_t number, const PingSummary& ping, const PingThresholds& limits) {
    const std::string label = "ping" + std::to_string(number);
    if (ping.rtt_avg) {
        append_perf_datum(out, {.label = label + "_rta",
                                .value = seconds_value(*ping.rtt_avg),
                                .warning = rta_level(limits.warning),
                                .critical = rta_level(limits.critical)});
    }
    append_perf_datum(out, {.label = label + "_pl",
                            .value = whole_percent(ping.loss_percent().value_or(100)) + "%",
                            .warning = loss_level(limits.warning),
                            .critical = loss_level(limits.critical),
                            .max = "100"});
}

void append_perfdata(std::string& out, const ProbeReport& report, const Assessment& assessment,
                     const Thresholds& thresholds) {
    out += " |";
    if (assessment.handshake) append_time_datum(out, "handshake", *assessment.handshake, &thresholds.handshake);
    std::size_t pings = 0;
    for (const CheckAssessment& check : assessment.checks) {
        switch (check.kind) {
            case CheckKind::ping: {
                ++pings;
                if (!check.ping) break;
                if (assessment.several_echoes) {
                    append_ping_target(out, pings, *check.ping, thresholds.ping);
                } else if (check.ping->rtt_avg) {
                    append_time_datum(out, "ping" + std::to_string(pings), *check.ping->rtt_avg, nullptr);
                }
                break;
            }
            case CheckKind::dns:
            case CheckKind::tcp:
            case CheckKind::tls:
            case CheckKind::http: break;  // below, by their phases
            case CheckKind::path_mtu: {
                // Below the expected size is a warning: the range "EXPECTED:".
                if (!check.path_mtu) break;
                const std::optional<std::uint32_t> crossed =
                    check.passed ? std::optional(check.path_mtu->expected) : check.path_mtu->largest_crossed;
                if (!crossed) break;
                append_perf_datum(out, {.label = "path_mtu",
                                        .value = std::to_string(*crossed) + "B",
                                        .warning = std::to_string(check.path_mtu->expected) + ":"});
                break;
            }
        }
    }
    // A DNS or TCP check's round trip, numbered in the order asked; one that
    // was not answered, or refused, has none to show.
    for (const std::string_view kind : {phase_name::dns, phase_name::tcp, phase_name::tls, phase_name::http}) {
        std::size_t number = 0;
        for (const PhaseResult& phase : report.phases) {
            if (phase.phase != kind) continue;
            const std::string label = std::string(kind) + std::to_string(++number);
            if (phase.status == PhaseStatus::passed && !phase.service_failure) {
                append_time_datum(out, label, measured_time(phase), nullptr);
            }
            // Days until the certificate expires, whatever else failed.
            if (phase.certificate_not_after) {
                append_perf_datum(out, {.label = label + "_days",
                                        .value = std::to_string(certificate_days_left(*phase.certificate_not_after)),
                                        .min = ""});
            }
        }
    }
    append_perf_datum(out, {.label = "sent", .value = std::to_string(report.sent_bytes) + "B"});
    append_perf_datum(out, {.label = "received", .value = std::to_string(report.received_bytes) + "B"});
}

void append_long_line(std::string& out, std::string_view text) {
    append_plugin_text(out, text);
    out.push_back('\n');
}

// After the first line: one line per check, the phase that stopped the run,
// each threshold reached, the wait for the key's turn; the table with -v.
void append_long_output(std::string& out, const ProbeReport& report, const Assessment& assessment, bool verbose) {
    if (auto failed = failed_phase_text(report)) append_long_line(out, *failed);
    for (const CheckAssessment& check : assessment.checks) {
        append_long_line(out, std::string(check_phase_name(check.kind)) + " " + check.target + ": " + check.outcome);
    }
    for (const Breach& breach : assessment.breaches) append_long_line(out, "threshold: " + breach.text);
    if (const auto waited = key_turn_wait_note(report)) append_long_line(out, *waited);
    if (!verbose) return;
    const std::string table = report_table(report, assessment);
    std::size_t start = 0;
    while (start < table.size()) {
        const std::size_t end = table.find('\n', start);
        append_long_line(out, std::string_view(table).substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

std::string nagios_line(const ProbeReport& report, const Assessment& assessment, const Thresholds& thresholds,
                        bool verbose) {
    std::string out = "WIREGUARD ";
    out += state_text(assessment.state);
    out += " - ";
    append_summary(out, report, assessment);
    append_perfdata(out, report, assessment, thresholds);
    out.push_back('\n');
    append_long_output(out, report, assessment, verbose);
    return out;
}

std::string nagios_unknown_line(std::string_view message) {
    std::string out = "WIREGUARD UNKNOWN - ";
    append_plugin_text(out, message);
    out.push_back('\n');
    return out;
}

}  // namespace quorlin::command
