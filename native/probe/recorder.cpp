#include "probe/recorder.hpp"

#include <utility>

namespace quorlin {

namespace {

constexpr std::string_view check_matched_detail = "valid matching reply";
constexpr std::string_view skipped_detail = "skipped because authentication was not confirmed";

// Why a check ended unanswered. "not sent" when nothing went out: the target
// was never asked, so its silence is no evidence against it.
std::string no_match_detail(ExchangeOutcome::Limit limit, bool sent) {
    std::string_view what;
    switch (limit) {
        case ExchangeOutcome::Limit::check_deadline: what = "the check deadline"; break;
        case ExchangeOutcome::Limit::overall_deadline: what = "the overall deadline"; break;
        case ExchangeOutcome::Limit::session_lifetime:
            return sent ? "no valid matching reply before the WireGuard session expired"
                        : "not sent: the WireGuard session had expired";
    }
    if (!sent) return "not sent: " + std::string(what) + " had passed";
    return "no valid matching reply before " + std::string(what);
}

// Stamps both the exact and the whole-millisecond duration from one reading.
void stamp_duration(PhaseResult& result, Instant phase_start) noexcept {
    result.elapsed = Clock::now() - phase_start;
    result.duration_ms = millis(result.elapsed);
}

std::uint64_t millis_since(Instant start) noexcept { return millis(Clock::now() - start); }

// The one place the sink is called. noexcept: a sink that throws cannot unwind
// through the run, whose report must always be returned.
void deliver(const EventSink& sink, ProbeEvent event) noexcept {
    if (sink) sink(std::move(event));
}

std::optional<std::string> copy_target(std::optional<std::string_view> target) {
    if (!target) return std::nullopt;
    return std::string(*target);
}

}  // namespace

void emit_start(Instant run_start, const EventSink& sink, std::string_view phase,
                std::optional<std::string_view> target) {
    ProbeEvent event;
    event.kind = ProbeEventKind::started;
    event.phase = std::string(phase);
    event.target = copy_target(target);
    event.elapsed_ms = millis_since(run_start);
    deliver(sink, std::move(event));
}

void push_phase(ProbeReport& report, Instant run_start, const EventSink& sink, PhaseResult result) {
    // Plain unsigned addition: the totals wrap rather than saturate.
    report.sent_bytes += result.sent_bytes;
    report.received_bytes += result.received_bytes;

    ProbeEvent event;
    event.kind = ProbeEventKind::finished;
    event.phase = result.phase;
    event.target = result.target;
    event.result = result;
    event.elapsed_ms = millis_since(run_start);
    deliver(sink, std::move(event));

    report.phases.push_back(std::move(result));
}

void push_skipped(ProbeReport& report, Instant run_start, const EventSink& sink, std::string_view phase,
                  std::string target) {
    PhaseResult result;
    result.phase = std::string(phase);
    result.target = std::move(target);
    result.status = PhaseStatus::skipped;
    result.detail = std::string(skipped_detail);
    push_phase(report, run_start, sink, std::move(result));
}

PhaseResult phase_error(std::string_view phase, std::optional<std::string> target, Instant phase_start,
                        std::string message) {
    PhaseResult result;
    result.phase = std::string(phase);
    result.target = std::move(target);
    result.status = PhaseStatus::error;
    stamp_duration(result, phase_start);
    result.detail = std::move(message);
    return result;
}

PhaseResult phase_passed(std::string_view phase, std::optional<std::string> target, Instant phase_start,
                         std::uint64_t sent_bytes, std::uint64_t received_bytes, std::optional<std::string> detail) {
    PhaseResult result;
    result.phase = std::string(phase);
    result.target = std::move(target);
    result.status = PhaseStatus::passed;
    stamp_duration(result, phase_start);
    result.sent_bytes = sent_bytes;
    result.received_bytes = received_bytes;
    result.detail = std::move(detail);
    return result;
}

PhaseResult check_phase(std::string_view phase, std::optional<std::string> target, Instant phase_start,
                        const ExchangeOutcome& outcome) {
    PhaseResult result;
    result.phase = std::string(phase);
    result.target = std::move(target);
    stamp_duration(result, phase_start);
    result.sent_bytes = outcome.sent_bytes;
    result.received_bytes = outcome.received_bytes;
    if (const ExchangeOutcome::Matched* match = outcome.match()) {
        result.status = PhaseStatus::passed;
        result.detail = std::string(check_matched_detail);
        result.round_trip = match->round_trip;
        result.tries = match->tries;
        if (match->refused) result.service_failure = "refused";
        if (match->dns_response_code) result.dns = PhaseResult::DnsOutcome{*match->dns_response_code, match->a_records.size()};
    } else if (const auto* error = std::get_if<ExchangeOutcome::Error>(&outcome.result)) {
        result.status = PhaseStatus::error;
        result.detail = error->message;
    } else {
        result.status = PhaseStatus::unconfirmed;
        result.detail = no_match_detail(std::get<ExchangeOutcome::NoMatch>(outcome.result).limit, outcome.sent_bytes != 0);
    }
    return result;
}

void finish_report(ProbeReport& report, Instant run_start) { report.duration_ms = millis_since(run_start); }

Instant deadline(Instant overall_deadline, Instant phase_start, Duration phase_timeout) noexcept {
    const auto phase_end = checked_add(phase_start, phase_timeout);
    if (!phase_end || *phase_end >= overall_deadline) return overall_deadline;
    return *phase_end;
}

}  // namespace quorlin
