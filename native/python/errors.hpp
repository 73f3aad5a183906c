#pragma once
// The module's two exception classes and the helpers that raise and annotate
// errors at the Python boundary.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string_view>

namespace quorlin::python {

// Borrowed references to the process-wide classes "_quorlin.QuorlinError" (an
// Exception) and "_quorlin.ConfigurationError" (a QuorlinError); nullptr with
// an exception set if a class cannot be created.
PyObject* quorlin_error_type();
PyObject* configuration_error_type();

// Raises ConfigurationError with `message` (UTF-8) as its only argument.
// Always returns nullptr so callers can `return raise_configuration_error(..)`.
std::nullptr_t raise_configuration_error(std::string_view message);

// Attaches the note "while processing '<parameter>'" to the pending exception.
// If the note cannot be added, the original exception is kept unchanged.
void add_parameter_note(const char* parameter);

// UTF-8 text as a new Python str (invalid sequences become U+FFFD).
PyObject* text_to_str(std::string_view text);

// `function`, a slot or method the interpreter calls, made safe against
// running out of memory: an allocation that fails anywhere under it (argument
// conversion, input, the run, the report objects; std::length_error is what a
// container says when asked for more than it can ever hold) raises MemoryError
// instead of ending the process. By the time it is caught the interpreter lock
// is held again: without_interpreter_lock takes it back as the failure passes.
template <auto function>
struct MemorySafe;

template <typename... Args, PyObject* (*function)(Args...)>
struct MemorySafe<function> {
    static PyObject* call(Args... args) noexcept {
        try {
            return function(args...);
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
        return PyErr_NoMemory();
    }
};

}  // namespace quorlin::python
