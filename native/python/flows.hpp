#pragma once
// The two entry flows: from converted arguments to a finished report object.
// Both run with the interpreter lock held, release it around file loading and
// around the run, and return a new ProbeReport object or nullptr with the
// exception raised.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/options.hpp"

#include <optional>
#include <string>
#include <vector>

namespace quorlin::python {

// The raw-key arguments that a configuration file would otherwise supply.
struct RawKeyTexts {
    std::string peer_key;
    std::string endpoint;
    std::optional<std::string> address;
    std::vector<std::string> allowed_ips;
};

PyObject* config_file_flow(std::string path, OptionTexts options);
PyObject* raw_key_flow(std::string path, RawKeyTexts raw, OptionTexts options);

}  // namespace quorlin::python
