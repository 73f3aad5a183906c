#pragma once
// Runs a piece of work with the interpreter lock released. The work must not
// touch any Python object; the lock is re-acquired before the result is used.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <type_traits>
#include <utility>

namespace quorlin::python {

template <typename Work>
auto without_interpreter_lock(Work&& work) -> std::invoke_result_t<Work&&> {
    struct Detached {
        PyThreadState* saved = PyEval_SaveThread();
        ~Detached() { PyEval_RestoreThread(saved); }
    } detached;
    return std::forward<Work>(work)();
}

}  // namespace quorlin::python
