#include "exporter/time_limit.hpp"

#include <algorithm>

namespace quorlin::exporter {

std::expected<ProbeTimeLimit, Refusal> probe_time_limit(Instant arrival, std::int64_t target_deadline_ms,
                                                        std::optional<std::chrono::nanoseconds> scrape_timeout,
                                                        std::chrono::nanoseconds offset) {
    // The fleet reader has checked deadline_ms to lie within 1 ms to a day.
    const std::chrono::nanoseconds target_limit = std::chrono::milliseconds(target_deadline_ms);
    if (!scrape_timeout) return ProbeTimeLimit{arrival + target_limit, std::nullopt};
    const std::chrono::nanoseconds budget = *scrape_timeout - offset;
    if (budget < std::chrono::milliseconds(1)) {
        return std::unexpected(Refusal{400, "X-Prometheus-Scrape-Timeout-Seconds leaves no time for a probe after "
                                            "the timeout offset: raise scrape_timeout or lower --timeout-offset"});
    }
    return ProbeTimeLimit{arrival + std::min(target_limit, budget), arrival + budget};
}

std::optional<std::uint64_t> deadline_cap_ms(const ProbeTimeLimit& limit, Instant now) {
    if (!limit.scrape_end) return std::nullopt;
    if (*limit.scrape_end <= now) return 0;
    return static_cast<std::uint64_t>(std::chrono::floor<std::chrono::milliseconds>(*limit.scrape_end - now).count());
}

}  // namespace quorlin::exporter
