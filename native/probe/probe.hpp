#pragma once
// The engine's entry operation: one probe run, from validation to the report.

#include "probe/plan.hpp"
#include "probe/recorder.hpp"
#include "probe/report.hpp"

namespace quorlin {

// Runs the phases against the peer and returns the report; never fails as a
// call. The plan is consumed and released (its keys wiped) on every path; the
// socket and tunnel of the run are released before returning.
ProbeReport probe(ProbePlan plan, const EventSink& sink);

}  // namespace quorlin
