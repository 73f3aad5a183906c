#pragma once
// The module's two exception classes and the helpers that raise and annotate
// errors at the Python boundary.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
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

}  // namespace quorlin::python
