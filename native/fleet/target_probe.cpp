#include "fleet/target_probe.hpp"

#include "fleet/followed_path.hpp"
#include "input/reachable_endpoint.hpp"
#include "probe/probe.hpp"

#include <algorithm>
#include <utility>

namespace quorlin::fleet {

namespace {

// The cap applies to the plan, after it was checked against the target's own
// deadline: a probe cut short by a scrape's time still runs what fits.
void cap(ProbePlan& plan, std::optional<std::uint64_t> deadline_cap_ms) {
    if (!deadline_cap_ms) return;
    plan.overall_deadline = std::min(plan.overall_deadline, Duration::from_millis(*deadline_cap_ms));
    for (Duration* limit : {&plan.handshake_timeout, &plan.ping_timeout, &plan.dns_timeout, &plan.tcp_timeout}) {
        *limit = std::min(*limit, plan.overall_deadline);
    }
}

}  // namespace

std::expected<ProbePlan, input::PlanRefusal> plan_target(const FleetTarget& target,
                                                         std::optional<std::uint64_t> deadline_cap_ms) {
    input::OptionTexts options = target.options;
    const auto* config = std::get_if<ConfigFileMode>(&target.mode);
    const auto* raw = std::get_if<RawKeyMode>(&target.mode);
    const std::string& given = config ? config->path : raw->private_key_file;
    const auto path = followed_path(given, config ? "configuration" : "private key");
    if (!path) return std::unexpected(input::PlanRefusal{input::PlanStep::input_file, path.error()});
    auto plan = config ? input::plan_config_file_by_step(*path, std::move(options), given)
                       : input::plan_raw_key_by_step(*path, raw->texts, std::move(options), given);
    if (!plan) return plan;
    // The endpoint is a raw-key value, or the configuration's.
    if (auto refusal = input::unreachable_endpoint(plan->config.endpoint, config ? "Peer Endpoint" : "endpoint")) {
        const input::PlanStep step = config ? input::PlanStep::input_file : input::PlanStep::raw_key_arguments;
        return std::unexpected(input::PlanRefusal{step, std::move(*refusal)});
    }
    cap(*plan, deadline_cap_ms);
    return plan;
}

std::expected<ProbeReport, std::string> probe_target(const FleetTarget& target,
                                                     std::optional<std::uint64_t> deadline_cap_ms) {
    auto plan = plan_target(target, deadline_cap_ms);
    if (!plan) return std::unexpected(std::move(plan.error().message));
    plan->take_key_turn = true;
    return probe(std::move(*plan), {});
}

}  // namespace quorlin::fleet
