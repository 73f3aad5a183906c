#pragma once
// A running probe cannot be interrupted: the engine ends it by its deadlines.
// So the command runs it on a worker thread and waits for either its report
// or a stop signal (Ctrl-C's SIGINT, or the SIGTERM a monitoring system sends
// when a check takes too long, received through a signalfd); after one the
// process exits without waiting for the worker.

#include "probe/plan.hpp"
#include "probe/report.hpp"

#include <expected>
#include <string>
#include <string_view>

namespace quorlin::command {

// Called first in main, before any thread exists: the stop signals are
// blocked in every thread (the worker and the engine's resolver threads
// inherit the mask), so they are only ever taken by the waits for probes; SIGPIPE is ignored, so a closed
// output pipe is a write error to report instead of a silent death.
void prepare_signals();

// Why no report came. The worker may still be running: the process must end
// without destroying what it uses (std::_Exit).
struct RunAbandoned {
    std::string message;  // "interrupted", "terminated", or what failed
};

// The word for a signal that stopped a run: SIGINT (Ctrl-C) "interrupted",
// SIGTERM "terminated".
std::string_view stopped_by(int signal) noexcept;

// Runs the probe on a worker thread and waits for it, no longer than the
// plan's overall deadline plus a grace period.
std::expected<ProbeReport, RunAbandoned> run_interruptible(ProbePlan plan);

}  // namespace quorlin::command
