#pragma once
// The two entry flows: from converted arguments to a finished report object.
// The plan is built with the interpreter lock released (it touches no Python
// object); a refusal is raised as ConfigurationError with its text unchanged,
// otherwise the plan is run. Each returns a new ProbeReport object, or nullptr
// with the exception raised.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "input/flows.hpp"

#include <string>

namespace quorlin::python {

PyObject* config_file_flow(std::string path, input::OptionTexts options);
PyObject* raw_key_flow(std::string path, input::RawKeyTexts raw, input::OptionTexts options);

}  // namespace quorlin::python
