#pragma once
// The phase recorder: every phase of a run is built, timed, counted and
// announced through these operations, so the rules for durations, byte totals
// and event order live here only.

#include "common/clock.hpp"
#include "probe/exchange_outcome.hpp"
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
