#include "python/run_probe.hpp"

#include "probe/probe.hpp"
#include "probe/report.hpp"
#include "python/interpreter_lock.hpp"
#include "python/report_objects.hpp"

namespace quorlin::python {

PyObject* run_probe(ProbePlan plan) {
    ProbeReport report = without_interpreter_lock([&] {
        // Nothing reaches Python while a run is in progress.
        const EventSink discard_events = [](ProbeEvent) {};
        return probe(std::move(plan), discard_events);
    });
    return probe_report_from_engine(report);
}

}  // namespace quorlin::python
