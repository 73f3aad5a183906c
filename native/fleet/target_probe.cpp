#include "fleet/target_probe.hpp"

#include "probe/probe.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
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

std::string resolved_path(const std::string& path) {
    // A NUL byte would cut the path short; the careful reader refuses it.
    if (path.find('\0') != std::string::npos) return path;
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

std::expected<ProbePlan, input::PlanRefusal> plan_target(const FleetTarget& target,
                                                         std::optional<std::uint64_t> deadline_cap_ms) {
    input::OptionTexts options = capped(target.options, deadline_cap_ms);
    if (const auto* config = std::get_if<ConfigFileMode>(&target.mode)) {
        return input::plan_config_file_by_step(resolved_path(config->path), std::move(options));
    }
    const auto& raw = std::get<RawKeyMode>(target.mode);
    return input::plan_raw_key_by_step(resolved_path(raw.private_key_file), raw.texts, std::move(options));
}

std::expected<ProbeReport, std::string> probe_target(const FleetTarget& target,
                                                     std::optional<std::uint64_t> deadline_cap_ms) {
    auto plan = plan_target(target, deadline_cap_ms);
    if (!plan) return std::unexpected(std::move(plan.error().message));
    plan->take_key_turn = true;
    return probe(std::move(*plan), {});
}

}  // namespace quorlin::fleet
