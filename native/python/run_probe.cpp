#include "python/run_probe.hpp"

#include "probe/report.hpp"
#include "python/interpreter_lock.hpp"
#include "python/report_objects.hpp"

#if __has_include("probe/probe.hpp")
#include "probe/probe.hpp"
#define QUORLIN_HAS_PROBE_SEQUENCE 1
#else
#include "python/errors.hpp"
#endif

namespace quorlin::python {

#if QUORLIN_HAS_PROBE_SEQUENCE
PyObject* run_probe(ProbePlan plan) {
    ProbeReport report = without_interpreter_lock([&] {
        // Nothing reaches Python while a run is in progress.
        const EventSink discard_events = [](ProbeEvent) {};
        return probe(std::move(plan), discard_events);
    });
    return probe_report_from_engine(report);
}
#else
// TEMPORARY SEAM: the probe sequence has not landed in the engine yet.
PyObject* run_probe(ProbePlan) {
    PyErr_SetString(PyExc_NotImplementedError, "the probe sequence is not built yet");
    return nullptr;
}
#endif

}  // namespace quorlin::python
