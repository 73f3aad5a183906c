// The _quorlin extension module: multi-phase initialisation with one execution
// step and no per-module state. The classes live in process-wide once-only
// cells, so a second execution of the module reuses the same type objects.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/version.hpp"
#include "python/entry_functions.hpp"
#include "python/errors.hpp"
#include "python/report_objects.hpp"

namespace {

using namespace quorlin::python;

int add_attribute(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return -1;
    return PyModule_AddObjectRef(module, name, value);
}

// Adds the attributes in their documented order; the first failure fails the import.
int execute_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "the _quorlin execution step needs a module object");
        return -1;
    }
    if (PyModule_AddStringConstant(module, "__version__", quorlin::version.data()) < 0) return -1;
    if (add_attribute(module, "ProbeReport", probe_report_type()) < 0) return -1;
    if (add_attribute(module, "PhaseResult", phase_result_type()) < 0) return -1;
    if (add_attribute(module, "QuorlinError", quorlin_error_type()) < 0) return -1;
    if (add_attribute(module, "ConfigurationError", configuration_error_type()) < 0) return -1;
    return PyModule_AddFunctions(module, entry_functions);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quorlin",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__quorlin(void) {
    return PyModuleDef_Init(&module_def);
}
