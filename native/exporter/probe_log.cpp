#include "exporter/probe_log.hpp"

#include "fleet/fleet_refusal.hpp"

#include <vector>

namespace quorlin::exporter {

namespace {

bool is_check_phase(std::string_view phase) {
    return phase == phase_name::ping || phase == phase_name::dns || phase == phase_name::tcp ||
           phase == phase_name::tls || phase == phase_name::http || phase == phase_name::path_mtu;
}

// The first phase that failed, the checks' own phases left to their checks.
const PhaseResult* failed_step(const ProbeReport& report) {
    for (const PhaseResult& phase : report.phases) {
        if (phase.status != PhaseStatus::error && phase.status != PhaseStatus::unconfirmed) continue;
        if (!is_check_phase(phase.phase)) return &phase;
    }
    return nullptr;
}

std::vector<std::string> reasons(const ProbeReport& report, const Assessment& assessment) {
    std::vector<std::string> out;
    if (!assessment.handshake) {
        if (const PhaseResult* failed = failed_step(report)) out.push_back(phase_failure_text(*failed));
    }
    for (const Breach& breach : assessment.breaches) out.push_back(breach.text);
    if (assessment.handshake) {
        for (const CheckAssessment& check : assessment.checks) {
            if (!check.failure.empty()) out.push_back(check.failure);
        }
    }
    return out;
}

}  // namespace

ProbeLogLine probe_log_line(std::string_view target, std::string_view client, const ProbeReport& report,
                            const Assessment& assessment) {
    ProbeLogLine line{probe_log_level(assessment.state), "probed " + fleet::target_prefix(target)};
    line.text.append(" for ").append(client).append(": ").append(verdict_text(report.verdict));
    line.text.append(", ").append(state_text(assessment.state));
    if (assessment.state == ServiceState::ok) return line;
    const std::vector<std::string> said = reasons(report, assessment);
    for (std::size_t index = 0; index < said.size(); ++index) line.text.append(index == 0 ? ": " : "; ").append(said[index]);
    return line;
}

}  // namespace quorlin::exporter
