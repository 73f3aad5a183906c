#include "fleet/target_probe.hpp"

#include "fleet/followed_path.hpp"
#include "input/reachable_endpoint.hpp"
#include "probe/probe.hpp"

#include <algorithm>
#include <climits>
#include <utility>

namespace quorlin::fleet {

namespace {

input::OptionTexts capped(input::OptionTexts options, std::optional<std::uint64_t> deadline_cap_ms) {
    if (!deadline_cap_ms) return options;
    const auto cap = static_cast<std::int64_t>(std::min<std::uint64_t>(*deadline_cap_ms, INT64_MAX));
    options.deadline_ms = std::min(options.deadline_ms, cap);
    for (std::int64_t* limit : {&options.handshake_timeout_ms, &options.ping_timeout_ms, &options.dns_timeout_ms}) {
        *limit = std::min(*limit, options.deadline_ms);
    }
    return options;
}

}  // namespace

std::expected<ProbePlan, input::PlanRefusal> plan_target(const FleetTarget& target,
                                                         std::optional<std::uint64_t> deadline_cap_ms) {
    input::OptionTexts options = capped(target.options, deadline_cap_ms);
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
