#include "command/fleet_table.hpp"

#include "common/decimal_text.hpp"
#include "command/terminal_text.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

namespace quorlin::command {

namespace {

// The widest verdict, "authentication_confirmed", and the column headers.
constexpr std::size_t verdict_width = 24;
constexpr std::string_view target_header = "TARGET";
constexpr std::string_view handshake_header = "HANDSHAKE_MS";
constexpr std::string_view checks_header = "CHECKS";
constexpr std::string_view refused_verdict = "refused";

// A cell and the two spaces after it.
void append_column(std::string& out, std::string_view cell, std::size_t width, Align align) {
    append_cell(out, cell, width, align);
    out += "  ";
}

std::size_t name_column(std::size_t name_width) { return std::max(name_width, target_header.size()); }

// "passed/asked" over the checks, or "-" when none was asked.
std::string checks_cell(const Assessment& assessment) {
    if (assessment.checks.empty()) return "-";
    return std::to_string(assessment.passed_checks()) + "/" + std::to_string(assessment.checks.size());
}

// The first phase that failed: "PHASE [TARGET] STATUS: DETAIL", escaped.
std::string first_failure(const ProbeReport& report) {
    for (const PhaseResult& phase : report.phases) {
        if (phase.status != PhaseStatus::unconfirmed && phase.status != PhaseStatus::error) continue;
        return shown(phase_failure_text(phase));
    }
    return "-";
}

}  // namespace

std::string fleet_table_header(std::size_t name_width) {
    std::string out;
    append_column(out, target_header, name_column(name_width), Align::left);
    append_column(out, "VERDICT", verdict_width, Align::left);
    append_column(out, handshake_header, handshake_header.size(), Align::right);
    append_column(out, checks_header, checks_header.size(), Align::right);
    out += "DETAIL\n";
    return out;
}

std::string fleet_table_row(const fleet::TargetOutcome& outcome, std::size_t name_width,
                            const Assessment* assessment) {
    std::string out;
    append_column(out, outcome.target->name, name_column(name_width), Align::left);
    if (!outcome.report || assessment == nullptr) {
        append_column(out, refused_verdict, verdict_width, Align::left);
        append_column(out, "-", handshake_header.size(), Align::right);
        append_column(out, "-", checks_header.size(), Align::right);
        out += shown(outcome.report.error()) + "\n";
        return out;
    }
    const ProbeReport& report = *outcome.report;
    append_column(out, verdict_text(report.verdict), verdict_width, Align::left);
    std::string handshake = "-";
    if (assessment->handshake) {
        handshake.clear();
        append_thousandths(handshake, whole_microseconds(*assessment->handshake));
    }
    append_column(out, handshake, handshake_header.size(), Align::right);
    append_column(out, checks_cell(*assessment), checks_header.size(), Align::right);
    std::string detail = first_failure(report);
    // No phase failed: the thresholds reached and the checks that failed all
    // the same (a DNS answer of SERVFAIL), if any.
    if (detail == "-") {
        std::vector<std::string> reasons;
        for (const Breach& breach : assessment->breaches) reasons.push_back(breach.text);
        for (const CheckAssessment& check : assessment->checks) {
            if (!check.failure.empty()) reasons.push_back(check.failure);
        }
        for (std::size_t i = 0; i < reasons.size(); ++i) detail = (i == 0 ? "" : detail + ", ") + shown(reasons[i]);
    }
    out += detail + "\n";
    return out;
}

std::string fleet_summary_line(const FleetTally& tally, Clock::duration wall, std::string_view stopped_by) {
    std::string out = targets_text(tally) + " in ";
    append_thousandths(out, whole_microseconds(wall) / 1000);
    out += " s";
    if (!stopped_by.empty()) out += " (" + std::string(stopped_by) + ")";
    out += ": ";
    append_verdict_counts(out, tally, false);
    out.push_back('\n');
    return out;
}

}  // namespace quorlin::command
