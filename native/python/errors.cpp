#include "python/errors.hpp"

#include "python/once_cell.hpp"
#include "python/py_ref.hpp"

#include <string>

namespace quorlin::python {

namespace {

OnceCell quorlin_error_cell;
OnceCell configuration_error_cell;

}  // namespace

PyObject* quorlin_error_type() {
    return quorlin_error_cell.get_or_create(
        [] { return PyErr_NewException("_quorlin.QuorlinError", PyExc_Exception, nullptr); });
}

PyObject* configuration_error_type() {
    return configuration_error_cell.get_or_create([]() -> PyObject* {
        PyObject* base = quorlin_error_type();
        if (base == nullptr) return nullptr;
        return PyErr_NewException("_quorlin.ConfigurationError", base, nullptr);
    });
}

PyObject* text_to_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

std::nullptr_t raise_configuration_error(std::string_view message) {
    PyObject* type = configuration_error_type();
    if (type == nullptr) return nullptr;
    PyRef text(text_to_str(message));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

void add_parameter_note(const char* parameter) {
#if PY_VERSION_HEX >= 0x030C0000
    PyRef error(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyRef error(value);
#endif
    if (!error) return;
    const std::string note = std::string("while processing '") + parameter + "'";
    PyRef added(PyObject_CallMethod(error.get(), "add_note", "s", note.c_str()));
    if (!added) PyErr_Clear();  // no add_note: the first error goes on unchanged
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyErr_Restore(PyObject_Type(error.get()), error.get(), PyException_GetTraceback(error.get()));
    error.release();
#endif
}

}  // namespace quorlin::python
