#pragma once
// How long one /probe request may take. The probe's overall deadline is the
// smaller of the target's deadline_ms and the scrape timeout Prometheus sends
// minus the offset (the time Prometheus needs around the probe); the probe's
// other limits are capped by it. A request that waits for a probe slot waits
// within that same limit, and the wait comes out of the scrape's time.

#include "common/clock.hpp"
#include "exporter/request.hpp"

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>

namespace quorlin::exporter {

struct ProbeTimeLimit {
    Instant wait_until;                 // the latest moment to start the probe
    std::optional<Instant> scrape_end;  // when the scrape's time (less the offset) runs out
};

// Refused when the scrape timeout leaves less than a millisecond after the offset.
std::expected<ProbeTimeLimit, Refusal> probe_time_limit(Instant arrival, std::int64_t target_deadline_ms,
                                                        std::optional<std::chrono::nanoseconds> scrape_timeout,
                                                        std::chrono::nanoseconds offset);

// The deadline cap, in whole milliseconds, for a probe that starts at `now`:
// nothing without a scrape timeout (the target's own deadline stands), 0 when
// not a whole millisecond is left.
std::optional<std::uint64_t> deadline_cap_ms(const ProbeTimeLimit& limit, Instant now);

}  // namespace quorlin::exporter
