#include "command/probe_command.hpp"

#include "command/fd_writes.hpp"
#include "command/interruptible_run.hpp"
#include "command/nagios_line.hpp"
#include "command/report_table.hpp"
#include "fleet/followed_path.hpp"
#include "input/flows.hpp"
#include "input/reachable_endpoint.hpp"
#include "probe/report_json.hpp"

#include <utility>

namespace quorlin::command {

namespace {

std::expected<ProbePlan, std::string> planned(ProbeArguments& probe) {
    if (probe.timeout_s) probe.options.deadline_ms = *probe.timeout_s * 1000;
    // Links are followed as the fleet follows them (mounted secrets); one
    // that leads nowhere is refused by name.
    const std::string& given = probe.config ? *probe.config : *probe.private_key_file;
    const auto path = fleet::followed_path(given, probe.config ? "configuration" : "private key");
    if (!path) return std::unexpected(path.error());
    std::expected<ProbePlan, input::PlanRefusal> plan =
        probe.config ? input::plan_config_file_by_step(*path, std::move(probe.options), given)
                     : input::plan_raw_key_by_step(*path,
                                                   {std::move(*probe.peer_key), std::move(*probe.endpoint),
                                                    std::move(probe.address), std::move(probe.allowed_ips),
                                                    std::move(probe.address6)},
                                                   std::move(probe.options), given);
    if (!plan) return std::unexpected(std::move(plan.error().message));
    return std::move(*plan);
}

// The plan, or its refusal; an endpoint no datagram can reach is refused too.
std::expected<ProbePlan, std::string> plan_probe(ProbeArguments& probe) {
    const bool from_config = probe.config.has_value();
    auto plan = planned(probe);
    if (!plan) return plan;
    const std::string_view name = from_config ? "Peer Endpoint" : "--endpoint";
    if (auto refusal = input::unreachable_endpoint(plan->config.endpoint, name)) {
        return std::unexpected(std::move(*refusal));
    }
    return plan;
}

std::string rendered(const ProbeReport& report, const Assessment& assessment, const OutputArguments& output) {
    switch (output.format) {
        case OutputFormat::json: return to_json(report) + "\n";
        case OutputFormat::nagios:
            return nagios_line(report, assessment, Thresholds{output.thresholds, output.ping_thresholds, output.certificate_thresholds},
                               output.verbose);
        case OutputFormat::table: break;
    }
    return report_table(report, assessment);
}

}  // namespace

CommandEnd run_probe_command(ProbeRequest request) {
    auto plan = plan_probe(request.probe);
    if (!plan) {
        print_unknown(plan.error(), request.output.format);
        return {unknown_exit_status, false};
    }
    plan->take_key_turn = true;
    auto report = run_interruptible(std::move(*plan));
    if (!report) {
        print_unknown(report.error().message, request.output.format);
        return {unknown_exit_status, true};
    }
    const Assessment assessment =
        assess(*report, Thresholds{request.output.thresholds, request.output.ping_thresholds,
                                   request.output.certificate_thresholds});
    if (!print_output(rendered(*report, assessment, request.output))) return {unknown_exit_status, false};
    return {exit_status(assessment.state), false};
}

}  // namespace quorlin::command
