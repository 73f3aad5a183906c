#include "fleet/open_file_budget.hpp"

#include <sys/resource.h>

#include <algorithm>

namespace quorlin::fleet {

namespace {

constexpr rlim_t reserved_descriptors = 64;

}  // namespace

OpenFileBudget fit_open_files(std::size_t wanted, std::size_t per_probe) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return {wanted, 0};
    const rlim_t per = static_cast<rlim_t>(per_probe);
    const rlim_t needed = static_cast<rlim_t>(wanted) * per + reserved_descriptors;
    if (limit.rlim_cur < needed) {
        rlimit raised = limit;
        raised.rlim_cur = std::min(needed, limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur >= needed) return {wanted, static_cast<std::uint64_t>(limit.rlim_cur)};
    const std::size_t fitting = limit.rlim_cur > reserved_descriptors + per
                                    ? static_cast<std::size_t>((limit.rlim_cur - reserved_descriptors) / per)
                                    : 1;
    return {fitting, static_cast<std::uint64_t>(limit.rlim_cur)};
}

std::string lowered_notice(std::size_t wanted, const OpenFileBudget& budget) {
    if (budget.probes >= wanted) return {};
    return "--concurrency " + std::to_string(wanted) + " lowered to " + std::to_string(budget.probes) +
           ": the open-file limit is " + std::to_string(budget.limit);
}

}  // namespace quorlin::fleet
