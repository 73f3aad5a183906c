#pragma once
// The engine's entry operation: one probe run, from validation to the report.

#include "probe/plan.hpp"
#include "probe/recorder.hpp"
#include "probe/report.hpp"

#include <chrono>

namespace quorlin {

// Runs the phases against the peer and returns the report; never fails as a
// call. The plan is consumed and released (its keys wiped) on every path; the
// socket and tunnel of the run are released before returning.
ProbeReport probe(ProbePlan plan, const EventSink& sink);

// A run ends by its overall deadline. A wait for a run to end allows this
// much beyond it, only so that the wait stays bounded should that promise
// ever break.
inline constexpr std::chrono::seconds probe_overrun_grace{5};

}  // namespace quorlin
