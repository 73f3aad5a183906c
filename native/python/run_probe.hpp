#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "probe/plan.hpp"

namespace quorlin::python {

// Runs the plan with the interpreter lock released, events discarded, and
// returns the new ProbeReport object (nullptr with an exception set only when
// the Python objects cannot be made). The plan, and its keys, are released
// when the run ends.
PyObject* run_probe(ProbePlan plan);

}  // namespace quorlin::python
