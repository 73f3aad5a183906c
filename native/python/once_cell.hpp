#pragma once
// A process-wide cell holding one Python object, created on first use and kept
// until the process ends. Every access holds the interpreter lock, which is
// what makes the cell thread-safe; if creation lets the lock go (a collection
// running finalisers) and another thread fills the cell meanwhile, the later
// object is dropped, so every caller sees the same one.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorlin::python {

class OnceCell {
public:
    // Borrowed reference to the cell's object; nullptr with an exception set
    // when `make` (returning a new reference or nullptr) fails.
    template <typename Make>
    PyObject* get_or_create(Make&& make) {
        if (object_ != nullptr) return object_;
        PyObject* made = make();
        if (made == nullptr) return nullptr;
        if (object_ != nullptr) {
            Py_DECREF(made);
            return object_;
        }
        object_ = made;
        return object_;
    }

private:
    PyObject* object_ = nullptr;
};

}  // namespace quorlin::python
