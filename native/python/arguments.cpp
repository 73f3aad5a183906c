#include "python/arguments.hpp"

#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "input/timeout.hpp"

namespace quorlin::python {

namespace {

bool fail(const char* parameter) {
    add_parameter_note(parameter);
    return false;
}

bool refuse_type(const char* parameter, PyObject* value, const char* expected) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(value)->tp_name, expected);
    return fail(parameter);
}

// UTF-8 of a str; a str holding a lone surrogate has none and raises.
bool utf8_of(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

// The sequence protocol, or registration as collections.abc.Sequence.
int is_sequence(PyObject* value) {
    if (PySequence_Check(value)) return 1;
    PyRef abc(PyImport_ImportModule("collections.abc"));
    if (!abc) return -1;
    PyRef sequence_type(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!sequence_type) return -1;
    return PyObject_IsInstance(value, sequence_type.get());
}

}  // namespace

bool convert_path(PyObject* value, const char* parameter, std::string& path) {
    PyRef fspath(PyOS_FSPath(value));
    if (!fspath) return fail(parameter);
    if (!PyUnicode_Check(fspath.get())) {
        PyErr_Format(PyExc_TypeError, "expected str or os.PathLike object returning str, not %s",
                     Py_TYPE(fspath.get())->tp_name);
        return fail(parameter);
    }
    PyRef encoded(PyUnicode_EncodeFSDefault(fspath.get()));
    if (!encoded) return fail(parameter);
    path.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

bool convert_text(PyObject* value, const char* parameter, std::string& text) {
    if (!PyUnicode_Check(value)) return refuse_type(parameter, value, "str");
    return utf8_of(value, text) || fail(parameter);
}

bool convert_optional_text(PyObject* value, const char* parameter, std::optional<std::string>& text) {
    if (value == nullptr || value == Py_None) {
        text.reset();
        return true;
    }
    return convert_text(value, parameter, text.emplace());
}

bool convert_text_list(PyObject* value, const char* parameter, std::vector<std::string>& texts) {
    texts.clear();
    if (value == nullptr) return true;
    // A str is a sequence of characters: taken as one, it would be a list of
    // one-letter targets.
    if (PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a sequence of str, not a str: write %s=[%R]", parameter, parameter,
                     value);
        return fail(parameter);
    }
    const int sequence = is_sequence(value);
    if (sequence < 0) return fail(parameter);
    if (sequence == 0) return refuse_type(parameter, value, "Sequence");
    PyRef iterator(PyObject_GetIter(value));
    if (!iterator) return fail(parameter);
    while (PyRef item{PyIter_Next(iterator.get())}) {
        if (!PyUnicode_Check(item.get())) return refuse_type(parameter, item.get(), "str");
        if (!utf8_of(item.get(), texts.emplace_back())) return fail(parameter);
    }
    return !PyErr_Occurred() || fail(parameter);
}

bool convert_timeout(PyObject* value, const char* parameter, std::int64_t& value_ms) {
    if (value == nullptr) return true;
    const long long converted = PyLong_AsLongLong(value);
    if (converted == -1 && PyErr_Occurred()) {
        // Whatever the interpreter objected to (a float, a str, None, a value
        // beyond 64 bits), the caller sees one message.
        PyErr_Clear();
        raise_configuration_error(input::timeout_conversion_message());
        return fail(parameter);
    }
    value_ms = converted;
    return true;
}

bool convert_integer(PyObject* value, const char* parameter, std::int64_t& number) {
    if (value == nullptr) return true;
    if (!PyLong_Check(value) || PyBool_Check(value)) return refuse_type(parameter, value, "int");
    int overflow = 0;
    const long long converted = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (converted == -1 && PyErr_Occurred()) return fail(parameter);
    number = overflow != 0 ? -1 : converted;
    return true;
}

bool convert_optional_integer(PyObject* value, const char* parameter, std::optional<std::int64_t>& number) {
    if (value == nullptr || value == Py_None) {
        number.reset();
        return true;
    }
    return convert_integer(value, parameter, number.emplace());
}

bool convert_flag(PyObject* value, const char* parameter, bool& flag) {
    if (value == nullptr) return true;
    if (!PyBool_Check(value)) return refuse_type(parameter, value, "bool");
    flag = value == Py_True;
    return true;
}

}  // namespace quorlin::python
