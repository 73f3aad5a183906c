#include "probe/path_mtu.hpp"

#include "common/os_error.hpp"
#include "common/random.hpp"
#include "packet/icmp.hpp"

#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quorlin {

namespace {

// A size is too big only when none of this many tries is answered: with 5%
// random loss each way an echo's round trip is lost one time in ten, and
// five in a row one time in a hundred thousand. The tries go out evenly
// within the echo limit, every three round trips of the path but at least
// 100 ms apart; an answer to any of them counts.
constexpr std::uint32_t tries_per_size = 5;
constexpr Clock::duration least_try_interval = std::chrono::milliseconds(100);

// WireGuard pads an inner packet to a multiple of 16 bytes, so the sizes of
// one step of 16 leave as the same datagram: they share one answer, tried at
// the step's largest size (or the expected size, in its own step).
constexpr std::uint32_t padding_step = 16;
constexpr std::uint32_t step_of(std::uint32_t size) { return (size + padding_step - 1) / padding_step; }
static_assert(min_mtu % padding_step == 0);

// What trying one size found.
enum class Crossing { crossed, lost, too_large_here, stopped };

class PathMtuSearch {
public:
    PathMtuSearch(const DataCheckContext& context, const Ipv4Address& source, const Ipv4Address& target)
        : c_(context),
          source_(source),
          target_(target),
          identifier_(static_cast<std::uint16_t>(random_u32())),
          next_sequence_(static_cast<std::uint16_t>(random_u32())),
          fill_(static_cast<std::uint8_t>(random_u32())) {}

    PhaseResult run(Instant phase_start) {
        const std::uint32_t expected = c_.plan.expected_mtu().value_or(default_mtu);
        sizes_.expected = expected;
        if (const int error = send_unfragmented(c_.socket, c_.endpoint.family()); error != 0) {
            return finish(phase_start, PhaseStatus::error, "could not set the don't-fragment bit: " + os_error_text(error));
        }
        switch (attempt(expected)) {
            case Crossing::crossed:
                sizes_.largest_crossed = expected;
                return finish(phase_start, PhaseStatus::passed,
                              "inner packets of " + std::to_string(expected) + " bytes cross the tunnel");
            case Crossing::stopped: return stopped(phase_start, std::nullopt, expected);
            case Crossing::lost:
            case Crossing::too_large_here: break;
        }
        std::uint32_t too_large = expected;
        bool local_limit = last_ == Crossing::too_large_here;
        if (expected <= min_mtu || attempt(min_mtu) != Crossing::crossed) {
            if (last_ == Crossing::stopped) return stopped(phase_start, std::nullopt, too_large);
            const std::string smallest = "no inner packet of " + std::to_string(min_mtu) + " bytes ";
            if (last_ == Crossing::too_large_here) {
                return finish(phase_start, PhaseStatus::error,
                              smallest + "could leave this machine: " + os_error_text(EMSGSIZE));
            }
            return finish(phase_start, PhaseStatus::unconfirmed, smallest + "crossed the tunnel");
        }
        std::uint32_t crossed = min_mtu;
        sizes_.largest_crossed = crossed;
        std::uint32_t crossed_step = step_of(min_mtu);
        std::uint32_t too_large_step = step_of(expected);
        while (too_large_step - crossed_step > 1) {
            const std::uint32_t middle_step = crossed_step + (too_large_step - crossed_step) / 2;
            const std::uint32_t middle = middle_step * padding_step;
            const Crossing found = attempt(middle);
            if (found == Crossing::stopped) return stopped(phase_start, crossed, too_large);
            if (found == Crossing::crossed) {
                crossed = middle;
                crossed_step = middle_step;
                sizes_.largest_crossed = crossed;
            } else {
                too_large = middle;
                too_large_step = middle_step;
                local_limit = found == Crossing::too_large_here;
            }
        }
        std::string detail = "largest inner packet through the tunnel " + std::to_string(crossed) + " bytes; " +
                             std::to_string(too_large);
        if (local_limit) {
            return finish(phase_start, PhaseStatus::error,
                          detail + " could not leave this machine: " + os_error_text(EMSGSIZE));
        }
        return finish(phase_start, PhaseStatus::unconfirmed, detail + " did not cross");
    }

private:
    // One size: its tries, and the answer to any of them.
    Crossing attempt(std::uint32_t size) {
        const std::uint16_t first_sequence = next_sequence_;
        next_sequence_ = static_cast<std::uint16_t>(next_sequence_ + sequences_per_size);
        const auto try_sequence = [first_sequence](std::uint32_t index) {
            return static_cast<std::uint16_t>(first_sequence + index);
        };
        std::vector<std::uint8_t> sent_request;
        const ExchangeRequest request{
            [&](std::uint32_t index) {
                sent_request = icmp_sized_echo_request(source_.octets, target_.octets,
                                                       static_cast<std::uint16_t>(random_u32()), identifier_,
                                                       try_sequence(index), size, fill_);
                return sent_request;
            },
            // The payload is the same in every try: any one checks it.
            [&](std::span<const std::uint8_t> packet, std::uint32_t tries) -> std::optional<ExchangeRequest::Answer> {
                for (std::uint32_t index = 0; index < tries && index < sequences_per_size; ++index) {
                    if (is_icmp_echo_reply(packet, target_.octets, source_.octets, identifier_,
                                           try_sequence(index), sent_request)) {
                        return ExchangeRequest::Answer{{}, index};
                    }
                }
                return std::nullopt;
            }};
        const Clock::duration interval = try_interval();
        const Instant start = Clock::now();
        ExchangeLimits limits = check_limits(c_, start, Duration::from_clock(interval * tries_per_size));
        limits.retry_interval = interval;
        const ExchangeOutcome outcome = exchange(c_.socket, c_.endpoint, c_.tunnel, request, limits);
        sent_ += outcome.sent_bytes;
        received_ += outcome.received_bytes;
        last_ = classify(outcome);
        return last_;
    }

    Clock::duration try_interval() const {
        const Clock::duration echo_limit =
            c_.plan.ping_timeout.to_clock().value_or(Clock::duration::max()) / tries_per_size;
        return std::min(std::max(3 * c_.path_round_trip, least_try_interval), echo_limit);
    }

    Crossing classify(const ExchangeOutcome& outcome) {
        if (outcome.is_matched()) return Crossing::crossed;
        if (const auto* error = std::get_if<ExchangeOutcome::Error>(&outcome.result)) {
            if (error->error_number == EMSGSIZE) return Crossing::too_large_here;
            stop_reason_ = error->message;
            return Crossing::stopped;
        }
        const auto limit = std::get<ExchangeOutcome::NoMatch>(outcome.result).limit;
        if (limit == ExchangeOutcome::Limit::check_deadline) return Crossing::lost;
        stop_reason_ = limit == ExchangeOutcome::Limit::overall_deadline ? "the overall deadline passed"
                                                                        : "the WireGuard session's lifetime ended";
        timed_out_ = true;
        return Crossing::stopped;
    }

    // Cut short: what was known by then, and why.
    PhaseResult stopped(Instant phase_start, std::optional<std::uint32_t> crossed, std::uint32_t too_large) {
        std::string detail = "search cut short (" + stop_reason_ + ")";
        if (crossed) {
            detail += ": largest inner packet through the tunnel so far " + std::to_string(*crossed) +
                      " bytes; " + std::to_string(too_large) + " did not cross";
        }
        return finish(phase_start, timed_out_ ? PhaseStatus::unconfirmed : PhaseStatus::error, std::move(detail));
    }

    PhaseResult finish(Instant phase_start, PhaseStatus status, std::string detail) const {
        PhaseResult result = phase_passed(phase_name::path_mtu, target_.to_text(), phase_start, sent_, received_,
                                          std::move(detail));
        result.status = status;
        result.path_mtu = sizes_;
        result.subject = target_.to_text();
        return result;
    }

    const DataCheckContext& c_;
    const Ipv4Address source_;
    const Ipv4Address target_;
    const std::uint16_t identifier_;
    // Each size takes a block of sequence numbers (a try per number; a new
    // session adds one).
    static constexpr std::uint16_t sequences_per_size = 64;
    std::uint16_t next_sequence_;
    const std::uint8_t fill_;
    std::uint64_t sent_ = 0;
    std::uint64_t received_ = 0;
    Crossing last_ = Crossing::lost;
    PhaseResult::PathMtuSizes sizes_;
    std::string stop_reason_;
    bool timed_out_ = false;
};

}  // namespace

void run_path_mtu_check(ProbeReport& report, const DataCheckContext& context, const Ipv4Address& source,
                        const Ipv4Address& target) {
    emit_start(context.run_start, context.sink, phase_name::path_mtu, target.to_text());
    const Instant phase_start = Clock::now();
    push_phase(report, context.run_start, context.sink, PathMtuSearch(context, source, target).run(phase_start));
}

}  // namespace quorlin
