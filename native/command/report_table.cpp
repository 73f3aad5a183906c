#include "command/report_table.hpp"

#include "command/key_turn_text.hpp"
#include "command/terminal_text.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <vector>

namespace quorlin::command {

namespace {

constexpr std::size_t column_count = 7;
using Row = std::array<std::string, column_count>;
constexpr std::array<Align, column_count> alignment = {Align::left,  Align::left,  Align::left, Align::right,
                                                      Align::right, Align::right, Align::left};

std::string shown_or_dash(const std::optional<std::string>& text) { return text ? shown(*text) : "-"; }

}  // namespace

std::string report_table(const ProbeReport& report, const Assessment& assessment) {
    std::string out = "verdict:  ";
    out += verdict_text(report.verdict);
    out += "\nendpoint: ";
    append_shown(out, report.endpoint);
    out += " (" + (report.resolved_endpoint ? report.resolved_endpoint->to_text() : std::string("not resolved")) + ")\n";
    out += "total:    " + std::to_string(report.duration_ms) + " ms, " + std::to_string(report.sent_bytes) +
           " bytes sent, " + std::to_string(report.received_bytes) + " bytes received\n";

    std::vector<Row> rows;
    rows.reserve(report.phases.size() + 1);
    rows.push_back({"PHASE", "TARGET", "STATUS", "MS", "SENT", "RECEIVED", "DETAIL"});
    for (const PhaseResult& phase : report.phases) {
        rows.push_back({phase.phase, shown_or_dash(phase.target), std::string(status_text(phase.status)),
                        std::to_string(phase.duration_ms), std::to_string(phase.sent_bytes),
                        std::to_string(phase.received_bytes), shown_or_dash(phase.detail)});
    }
    // The last column is not padded.
    std::array<std::size_t, column_count - 1> widths{};
    for (const Row& row : rows) {
        for (std::size_t i = 0; i < widths.size(); ++i) widths[i] = std::max(widths[i], character_count(row[i]));
    }
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < widths.size(); ++i) {
            append_cell(line, row[i], widths[i], alignment[i]);
            line += "  ";
        }
        line += row.back();
        line.erase(line.find_last_not_of(' ') + 1);
        out += line;
        out.push_back('\n');
    }
    for (const CheckAssessment& check : assessment.checks) {
        // Several echoes are told per target; a check whose phase passed but
        // that still failed (a DNS answer of SERVFAIL, a TCP reset, an
        // expired certificate) says why.
        if (check.kind == CheckKind::ping && assessment.several_echoes) {
            out += "ping " + shown(check.target) + ": " + check.outcome + "\n";
        } else if (check.kind != CheckKind::ping && check.kind != CheckKind::path_mtu && check.answered &&
                   !check.passed) {
            out += "check: " + std::string(check_phase_name(check.kind)) + " " + shown(check.target) + ": " +
                   check.outcome + "\n";
        }
    }
    for (const Breach& breach : assessment.breaches) out += "threshold: " + shown(breach.text) + "\n";
    if (const auto waited = key_turn_wait_note(report)) out += *waited + "\n";
    return out;
}

}  // namespace quorlin::command
