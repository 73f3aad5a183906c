#pragma once
// The read-only Python classes quorlin._quorlin.ProbeReport and
// quorlin._quorlin.PhaseResult: snapshots of the engine's report that Python
// can read but not create, change or subclass.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "probe/report.hpp"

namespace quorlin::python {

// Borrowed references to the process-wide type objects; nullptr with an
// exception set if a type cannot be created.
PyObject* probe_report_type();
PyObject* phase_result_type();

// New Python objects copying everything they show; the JSON text is rendered
// here, once. nullptr with an exception set when an object cannot be made.
PyObject* phase_result_from_engine(const PhaseResult& phase);
PyObject* probe_report_from_engine(const ProbeReport& report);

}  // namespace quorlin::python
