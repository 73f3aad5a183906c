#pragma once
// Conversion of the entry functions' Python arguments into plain values. Each
// converter returns false with a Python exception pending, and that exception
// carries the note "while processing '<parameter>'". A null `value` means the
// argument was omitted.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorlin::python {

// A str, or an object whose __fspath__ returns a str, encoded with the
// interpreter's file-system encoding. Required.
bool convert_path(PyObject* value, const char* parameter, std::string& path);

// A str (subclasses included) as UTF-8. Required.
bool convert_text(PyObject* value, const char* parameter, std::string& text);

// A str as UTF-8; None or omitted gives nullopt.
bool convert_optional_text(PyObject* value, const char* parameter, std::optional<std::string>& text);

// A sequence whose items are all str, in iteration order; a str itself is
// refused so that it is not taken letter by letter. Omitted gives an empty list.
bool convert_text_list(PyObject* value, const char* parameter, std::vector<std::string>& texts);

// `TimeoutArg`: anything the interpreter's integer conversion accepts that
// fits a signed 64-bit integer; everything else is a ConfigurationError.
// Omitted leaves `value_ms` as it is (the input layer's default). The range is
// checked later, by `timeout`.
bool convert_timeout(PyObject* value, const char* parameter, std::int64_t& value_ms);

// An int (not a bool); one beyond 64 bits is kept as -1 so that the range
// check refuses it. Unchanged when absent.
bool convert_integer(PyObject* value, const char* parameter, std::int64_t& number);
bool convert_optional_integer(PyObject* value, const char* parameter, std::optional<std::int64_t>& number);

// True or False only; unchanged when absent.
bool convert_flag(PyObject* value, const char* parameter, bool& flag);

}  // namespace quorlin::python
