#include "common/open_file_budget.hpp"

#include <sys/resource.h>

#include <algorithm>

namespace quorlin {

OpenFileBudget fit_open_files(std::size_t probes, std::size_t connections) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return {probes, connections, 0, 0};
    const rlim_t needed = static_cast<rlim_t>(probes) * descriptors_per_probe + connections + reserved_descriptors;
    if (limit.rlim_cur < needed) {
        rlimit raised = limit;
        raised.rlim_cur = std::min(needed, limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    const auto soft = static_cast<std::uint64_t>(limit.rlim_cur);
    const auto hard = static_cast<std::uint64_t>(limit.rlim_max);
    if (limit.rlim_cur >= needed) return {probes, connections, soft, hard};
    const std::uint64_t least_connections = std::min(connections, fewest_connections);
    const std::uint64_t for_probes =
        soft > reserved_descriptors + least_connections ? soft - reserved_descriptors - least_connections : 0;
    const std::size_t fitting_probes =
        std::clamp<std::uint64_t>(for_probes / descriptors_per_probe, std::min<std::size_t>(probes, 1), probes);
    const std::uint64_t used = fitting_probes * descriptors_per_probe + reserved_descriptors;
    const std::uint64_t left = soft > used ? soft - used : 0;
    const std::size_t fitting_connections =
        static_cast<std::size_t>(std::clamp<std::uint64_t>(left, least_connections, connections));
    return {fitting_probes, fitting_connections, soft, hard};
}

std::string lowered_notice(std::size_t asked, std::size_t wanted, const OpenFileBudget& budget) {
    if (budget.probes >= wanted) return {};
    return "--concurrency " + std::to_string(asked) + " lowered to " + std::to_string(budget.probes) +
           " by the open-file limit: " + std::to_string(budget.limit) + " descriptors (hard limit " +
           std::to_string(budget.hard_limit) + ") hold " + std::to_string(budget.probes) + " probes of " +
           std::to_string(descriptors_per_probe) + " each beside " + std::to_string(reserved_descriptors) +
           " for the process";
}

std::string lowered_connections_notice(std::size_t wanted, std::size_t fitting, const OpenFileBudget& budget) {
    if (fitting >= wanted) return {};
    return "the connection cap " + std::to_string(wanted) + " lowered to " + std::to_string(fitting) +
           " by the open-file limit: " + std::to_string(budget.limit) + " descriptors (hard limit " +
           std::to_string(budget.hard_limit) + ") hold " + std::to_string(budget.probes) + " probes of " +
           std::to_string(descriptors_per_probe) + " each and " + std::to_string(budget.connections) +
           " connections beside " + std::to_string(reserved_descriptors) + " for the process";
}

}  // namespace quorlin
