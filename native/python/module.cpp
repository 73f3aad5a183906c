// The _quorlin extension module: multi-phase initialisation, no global state.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef_Slot module_slots[] = {
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quorlin",
    nullptr,
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
