#pragma once
// The phase recorder: every phase of a run is built, timed, counted and
// announced through these operations, so the rules for durations, byte totals
// and event order live here only.

#include "common/clock.hpp"
#include "packet/ipv4.hpp"
#include "probe/report.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quorlin {

// Receives each progress event by value, synchronously, on the probing thread.
// It cannot stop the run and must not throw: an exception leaving the sink ends
// the process. An empty sink discards every event.
using EventSink = std::function<void(ProbeEvent)>;

// The result of the encrypted exchange of one inner packet in a ping or DNS
// check, with the bytes sent and received on the socket during it.
struct ExchangeOutcome {
    // A packet the check accepted; for DNS, the response's A-record addresses
    // in answer order, possibly none.
    struct Matched {
        std::vector<Ipv4Octets> a_records;
        friend bool operator==(const Matched&, const Matched&) = default;
    };
    // What ended a wait without a match.
    enum class Limit : std::uint8_t { check_deadline, overall_deadline, session_lifetime };
    // A limit passed first, before sending (nothing sent) or while waiting.
    struct NoMatch {
        Limit limit = Limit::check_deadline;
        friend bool operator==(const NoMatch&, const NoMatch&) = default;
    };
    struct Error {
        std::string message;
        int error_number = 0;  // the system error of a failed send or receive, else 0
        friend bool operator==(const Error&, const Error&) = default;
    };

    std::variant<Matched, NoMatch, Error> result;
    std::uint64_t sent_bytes = 0;
    std::uint64_t received_bytes = 0;

    static ExchangeOutcome matched(std::vector<Ipv4Octets> a_records, std::uint64_t sent_bytes,
                                   std::uint64_t received_bytes) {
        return {Matched{std::move(a_records)}, sent_bytes, received_bytes};
    }
    static ExchangeOutcome no_match(Limit limit, std::uint64_t sent_bytes, std::uint64_t received_bytes) {
        return {NoMatch{limit}, sent_bytes, received_bytes};
    }
    static ExchangeOutcome error(std::string message, std::uint64_t sent_bytes, std::uint64_t received_bytes,
                                 int error_number = 0) {
        return {Error{std::move(message), error_number}, sent_bytes, received_bytes};
    }

    bool is_matched() const noexcept { return std::holds_alternative<Matched>(result); }
    // The A records of a match; null otherwise.
    const std::vector<Ipv4Octets>* a_records() const noexcept {
        const auto* matched = std::get_if<Matched>(&result);
        return matched ? &matched->a_records : nullptr;
    }

    friend bool operator==(const ExchangeOutcome&, const ExchangeOutcome&) = default;
};

// Announces a phase: a started event with elapsed_ms since the run start.
void emit_start(Instant run_start, const EventSink& sink, std::string_view phase,
                std::optional<std::string_view> target);

// Records a built result: adds its counts to the report's totals, hands a
// finished event with a copy of it to the sink, then appends it to the phases.
void push_phase(ProbeReport& report, Instant run_start, const EventSink& sink, PhaseResult result);

// Records a check that was not attempted; no started event precedes it.
void push_skipped(ProbeReport& report, Instant run_start, const EventSink& sink, std::string_view phase,
                  std::string target);

// Builders; they stamp duration_ms from `phase_start` to now and record nothing.
PhaseResult phase_error(std::string_view phase, std::optional<std::string> target, Instant phase_start,
                        std::string message);
PhaseResult phase_passed(std::string_view phase, std::optional<std::string> target, Instant phase_start,
                         std::uint64_t sent_bytes, std::uint64_t received_bytes, std::optional<std::string> detail);
// matched -> passed, no match -> unconfirmed (the detail names the limit that
// ended it, and says so when nothing was sent), error -> error with its
// message; the counts are the outcome's.
PhaseResult check_phase(std::string_view phase, std::optional<std::string> target, Instant phase_start,
                        const ExchangeOutcome& outcome);

// Stamps the report's duration_ms from the run start to now.
void finish_report(ProbeReport& report, Instant run_start);

// The earlier of the overall deadline and phase start + timeout; the overall
// deadline when they are equal or when phase start + timeout is beyond what the
// clock can represent.
Instant deadline(Instant overall_deadline, Instant phase_start, Duration phase_timeout) noexcept;

}  // namespace quorlin
