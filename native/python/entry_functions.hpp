#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorlin::python {

// probe_file and probe_key_file, terminated by a null entry; the module's
// execution step adds them.
extern PyMethodDef entry_functions[];

}  // namespace quorlin::python
