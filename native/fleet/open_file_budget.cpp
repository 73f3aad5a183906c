#include "fleet/open_file_budget.hpp"

#include <sys/resource.h>

#include <algorithm>

namespace quorlin::fleet {

OpenFileBudget fit_open_files(std::size_t wanted, std::size_t per_probe) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return {wanted, 0, 0};
    const rlim_t per = static_cast<rlim_t>(per_probe);
    const rlim_t needed = static_cast<rlim_t>(wanted) * per + reserved_descriptors;
    if (limit.rlim_cur < needed) {
        rlimit raised = limit;
        raised.rlim_cur = std::min(needed, limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    const auto soft = static_cast<std::uint64_t>(limit.rlim_cur);
    const auto hard = static_cast<std::uint64_t>(limit.rlim_max);
    if (limit.rlim_cur >= needed) return {wanted, soft, hard};
    const std::size_t fitting = limit.rlim_cur > reserved_descriptors + per
                                    ? static_cast<std::size_t>((limit.rlim_cur - reserved_descriptors) / per)
                                    : 1;
    return {fitting, soft, hard};
}

std::string lowered_notice(std::size_t asked, std::size_t wanted, const OpenFileBudget& budget) {
    if (budget.probes >= wanted) return {};
    return "--concurrency " + std::to_string(asked) + " lowered to " + std::to_string(budget.probes) +
           " by the open-file limit: " + std::to_string(budget.limit) + " descriptors (hard limit " +
           std::to_string(budget.hard_limit) + ") hold " + std::to_string(budget.probes) + " probes of " +
           std::to_string(descriptors_per_probe) + " each beside " + std::to_string(reserved_descriptors) +
           " for the process";
}

}  // namespace quorlin::fleet
