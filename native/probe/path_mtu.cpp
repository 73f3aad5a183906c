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

constexpr int tries_per_size = 2;

// What trying one size found.
enum class Crossing { crossed, lost, too_large_here, stopped };

class PathMtuSearch {
public:
    PathMtuSearch(const DataCheckContext& context, const Ipv4Address& source, const Ipv4Address& target)
        : c_(context),
          source_(source),
          target_(target),
          identifier_(static_cast<std::uint16_t>(random_u32())),
          sequence_(static_cast<std::uint16_t>(random_u32())),
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
        while (too_large - crossed > 1) {
            const std::uint32_t middle = crossed + (too_large - crossed) / 2;
            const Crossing found = attempt(middle);
            if (found == Crossing::stopped) return stopped(phase_start, crossed, too_large);
            if (found == Crossing::crossed) {
                crossed = middle;
                sizes_.largest_crossed = crossed;
            } else {
                too_large = middle;
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
    // One size, sent again once when its echo went unanswered.
    Crossing attempt(std::uint32_t size) {
        for (int i = 0; i < tries_per_size; ++i) {
            last_ = echo(size);
            if (last_ != Crossing::lost) return last_;
        }
        return last_;
    }

    Crossing echo(std::uint32_t size) {
        const auto request = icmp_sized_echo_request(source_.octets, target_.octets,
                                                     static_cast<std::uint16_t>(random_u32()), identifier_,
                                                     ++sequence_, size, fill_);
        const std::uint16_t sequence = sequence_;
        const InnerPacketMatch is_reply =
            [&](std::span<const std::uint8_t> packet) -> std::optional<std::vector<Ipv4Octets>> {
            if (!is_icmp_echo_reply(packet, target_.octets, source_.octets, identifier_, sequence, request)) {
                return std::nullopt;
            }
            return std::vector<Ipv4Octets>{};
        };
        const ExchangeOutcome outcome = exchange(c_.socket, c_.endpoint, c_.tunnel, request,
                                                 check_limits(c_, Clock::now(), c_.plan.ping_timeout), is_reply);
        sent_ += outcome.sent_bytes;
        received_ += outcome.received_bytes;
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
    std::uint16_t sequence_;
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
