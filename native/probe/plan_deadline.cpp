#include "probe/plan_deadline.hpp"

#include <limits>

namespace quorlin {

namespace {

constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();

std::uint64_t plus(std::uint64_t a, std::uint64_t b) noexcept { return a > unbounded - b ? unbounded : a + b; }

std::uint64_t times(std::uint64_t a, std::uint64_t b) noexcept {
    return b != 0 && a > unbounded / b ? unbounded : a * b;
}

// Mirrors the search's bisection (path_mtu.cpp): 16-byte steps, each lost
// answer keeping the larger half.
constexpr std::uint32_t padding_step = 16;
constexpr std::uint32_t step_of(std::uint32_t size) { return (size + padding_step - 1) / padding_step; }

// TCP, TLS and HTTP checks each take up to the TCP limit.
std::uint64_t service_checks(const ProbePlan& plan) { return plan.tcp.size() + plan.tls.size() + plan.http.size(); }

std::string named(std::string_view name, std::uint64_t value) { return std::string(name) + " " + std::to_string(value); }

}  // namespace

std::uint32_t mtu_search_sizes(std::uint32_t expected_mtu) noexcept {
    if (expected_mtu <= min_mtu) return 1;
    std::uint32_t sizes = 2;
    for (std::uint32_t open = step_of(expected_mtu) - step_of(min_mtu); open > 1; open -= open / 2) ++sizes;
    return sizes;
}

std::uint64_t PlanWorstCase::total_ms() const noexcept {
    return plus(plus(plus(plus(handshake_ms, echoes_ms), dns_ms), tcp_ms), mtu_search_ms);
}

PlanWorstCase plan_worst_case(const ProbePlan& plan, std::uint32_t expected_mtu) noexcept {
    PlanWorstCase worst;
    worst.handshake_ms = plan.handshake_timeout.as_millis();
    const std::uint64_t ping_ms = plan.ping_timeout.as_millis();
    const std::uint64_t per_target =
        plus(times(plan.ping_count > 0 ? plan.ping_count - 1 : 0, plan.ping_interval.as_millis()), ping_ms);
    worst.echoes_ms = times(plan.ping.size(), per_target);
    worst.dns_ms = times(plan.resolve.size(), plan.dns_timeout.as_millis());
    worst.tcp_ms = times(service_checks(plan), plan.tcp_timeout.as_millis());
    if (plan.mtu_check) {
        worst.mtu_sizes = mtu_search_sizes(expected_mtu);
        worst.mtu_search_ms = times(worst.mtu_sizes, ping_ms);
    }
    return worst;
}

std::optional<std::string> deadline_refusal(const ProbePlan& plan, const PlanOptionNames& names) {
    const std::uint64_t deadline_ms = plan.overall_deadline.as_millis();
    const std::uint64_t count = plan.ping_count;
    const std::uint64_t interval_ms = plan.ping_interval.as_millis();
    // The last echo to the last target leaves this long after the first one.
    const std::uint64_t spacing_ms = times(plan.ping.size(), times(count > 0 ? count - 1 : 0, interval_ms));
    if (spacing_ms < deadline_ms) return std::nullopt;

    const PlanWorstCase worst = plan_worst_case(plan, plan.expected_mtu().value_or(default_mtu));
    const std::size_t targets = plan.ping.size();
    std::string text = named(names.ping_count, count) + " x " + named(names.ping_interval, interval_ms) +
                       " cannot finish within " + named(names.deadline, deadline_ms) + ": the echoes to " +
                       std::to_string(targets) + (targets == 1 ? " ping target" : " ping targets") +
                       " alone are spread over " + std::to_string(spacing_ms) + " ms; ";
    const std::uint64_t fits_ms = worst.total_ms();
    if (fits_ms > max_limit_ms) {
        return text + "no " + std::string(names.deadline) + " up to " + std::to_string(max_limit_ms) +
               " would fit: lower " + std::string(names.ping_count) + " or " + std::string(names.ping_interval);
    }
    text += named(names.deadline, fits_ms) + " would fit the worst case: " + named(names.handshake_timeout, worst.handshake_ms) +
            " + " + std::to_string(worst.echoes_ms) + " ms of echoes (the last to each target within " +
            named(names.ping_timeout, plan.ping_timeout.as_millis()) + ")";
    if (worst.dns_ms != 0) {
        text += " + " + std::to_string(plan.resolve.size()) + " x " +
                named(names.dns_timeout, plan.dns_timeout.as_millis());
    }
    if (worst.tcp_ms != 0) {
        text += " + " + std::to_string(service_checks(plan)) + " x " +
                named(names.tcp_timeout, plan.tcp_timeout.as_millis());
    }
    if (worst.mtu_search_ms != 0) {
        text += " + " + std::to_string(worst.mtu_sizes) + " sizes of the MTU search x " +
                named(names.ping_timeout, plan.ping_timeout.as_millis());
    }
    return text;
}

}  // namespace quorlin
