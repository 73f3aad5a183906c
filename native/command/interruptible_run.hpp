#pragma once
// A running probe cannot be interrupted: the engine ends it by its deadlines.
// So the command runs it on a worker thread and waits for either its report
// or Ctrl-C (SIGINT, received through a signalfd); after Ctrl-C the process
// exits without waiting for the worker.

#include "probe/plan.hpp"
#include "probe/report.hpp"

#include <expected>
#include <string>

namespace quorlin::command {

// Called first in main, before any thread exists: SIGINT is blocked in every
// thread (the worker and the engine's resolver threads inherit the mask), so
// it is only ever taken by the wait below; SIGPIPE is ignored, so a closed
// output pipe is a write error to report instead of a silent death.
void prepare_signals();

// Why no report came. The worker may still be running: the process must end
// without destroying what it uses (std::_Exit).
struct RunAbandoned {
    std::string message;  // "interrupted", or what failed
};

// Runs the probe on a worker thread and waits for it, no longer than the
// plan's overall deadline plus a grace period.
std::expected<ProbeReport, RunAbandoned> run_interruptible(ProbePlan plan);

}  // namespace quorlin::command
