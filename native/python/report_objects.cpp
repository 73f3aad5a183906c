#include "python/report_objects.hpp"

#include "probe/report_json.hpp"
#include "python/errors.hpp"
#include "python/once_cell.hpp"
#include "python/py_ref.hpp"
#include "python/repr_text.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quorlin::python {

namespace {

constexpr std::size_t json_initial_capacity = 128;

// ---- field storage: owned by the Python object, freed with it ----

struct PhaseFields {
    std::string phase;
    std::optional<std::string> target;
    std::string status;
    std::uint64_t duration_ms = 0;
    std::uint64_t sent_bytes = 0;
    std::uint64_t received_bytes = 0;
    std::optional<std::string> detail;
    std::string json_text;
};

struct ReportFields {
    std::uint8_t schema_version = 0;
    std::string verdict;
    std::string endpoint;
    std::optional<std::string> resolved_endpoint;
    std::optional<std::string> local_udp_address;
    std::string client_public_key;
    std::uint64_t duration_ms = 0;
    std::uint64_t sent_bytes = 0;
    std::uint64_t received_bytes = 0;
    std::string json_text;
};

struct PhaseObject {
    PyObject_HEAD
    PhaseFields* fields;
};

struct ReportObject {
    PyObject_HEAD
    ReportFields* fields;
    PyObject* phases;  // a tuple of PhaseResult objects
};

PhaseFields& phase_of(PyObject* self) { return *reinterpret_cast<PhaseObject*>(self)->fields; }
ReportFields& report_of(PyObject* self) { return *reinterpret_cast<ReportObject*>(self)->fields; }

// ---- conversions of stored values into new Python objects ----

PyObject* to_python(const std::string& text) { return text_to_str(text); }

PyObject* to_python(const std::optional<std::string>& text) {
    if (!text) Py_RETURN_NONE;
    return text_to_str(*text);
}

PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

// The getter of one stored field, and the to_json method, of either class.
template <typename Object, auto field>
PyObject* get(PyObject* self, void*) {
    return to_python(reinterpret_cast<Object*>(self)->fields->*field);
}

template <typename Object>
PyObject* to_json(PyObject* self, PyObject*) {
    return text_to_str(reinterpret_cast<Object*>(self)->fields->json_text);
}

// ---- lifetime and garbage-collector slots ----
// Neither class can sit on a reference cycle (a phase holds no Python object,
// a report only its tuple of phases), so traversal visits what the base object
// would (the heap type) plus the report's tuple, and clearing has nothing to do.

void phase_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<PhaseObject*>(self)->fields;
    type->tp_free(self);
    Py_DECREF(type);
}

void report_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* report = reinterpret_cast<ReportObject*>(self);
    delete report->fields;
    Py_CLEAR(report->phases);
    type->tp_free(self);
    Py_DECREF(type);
}

int phase_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int report_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ReportObject*>(self)->phases);
    return 0;
}

int nothing_to_clear(PyObject*) { return 0; }

// ---- PhaseResult attributes and methods ----

PyObject* phase_repr(PyObject* self) {
    const PhaseFields& fields = phase_of(self);
    std::string text = "PhaseResult(phase=";
    if (!append_quoted(text, fields.phase)) return nullptr;
    text += ", target=";
    if (!append_optional_quoted(text, fields.target)) return nullptr;
    text += ", status=";
    if (!append_quoted(text, fields.status)) return nullptr;
    text += ", duration_ms=" + std::to_string(fields.duration_ms);
    text += ", sent_bytes=" + std::to_string(fields.sent_bytes);
    text += ", received_bytes=" + std::to_string(fields.received_bytes) + ")";
    return text_to_str(text);
}

PyGetSetDef phase_getset[] = {
    {"phase", get<PhaseObject, &PhaseFields::phase>, nullptr, nullptr, nullptr},
    {"target", get<PhaseObject, &PhaseFields::target>, nullptr, nullptr, nullptr},
    {"status", get<PhaseObject, &PhaseFields::status>, nullptr, nullptr, nullptr},
    {"duration_ms", get<PhaseObject, &PhaseFields::duration_ms>, nullptr, nullptr, nullptr},
    {"sent_bytes", get<PhaseObject, &PhaseFields::sent_bytes>, nullptr, nullptr, nullptr},
    {"received_bytes", get<PhaseObject, &PhaseFields::received_bytes>, nullptr, nullptr, nullptr},
    {"detail", get<PhaseObject, &PhaseFields::detail>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef phase_methods[] = {
    {"to_json", to_json<PhaseObject>, METH_NOARGS, "to_json($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- ProbeReport attributes and methods ----

PyObject* report_get_phases(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<ReportObject*>(self)->phases);
}

PyObject* report_repr(PyObject* self) {
    const ReportFields& fields = report_of(self);
    std::string text = "ProbeReport(verdict=";
    if (!append_quoted(text, fields.verdict)) return nullptr;
    text += ", endpoint=";
    if (!append_quoted(text, fields.endpoint)) return nullptr;
    text += ", duration_ms=" + std::to_string(fields.duration_ms);
    text += ", sent_bytes=" + std::to_string(fields.sent_bytes);
    text += ", received_bytes=" + std::to_string(fields.received_bytes);
    text += ", phases=" + std::to_string(PyTuple_GET_SIZE(reinterpret_cast<ReportObject*>(self)->phases)) + ")";
    return text_to_str(text);
}

PyGetSetDef report_getset[] = {
    {"schema_version", get<ReportObject, &ReportFields::schema_version>, nullptr, nullptr, nullptr},
    {"verdict", get<ReportObject, &ReportFields::verdict>, nullptr, nullptr, nullptr},
    {"endpoint", get<ReportObject, &ReportFields::endpoint>, nullptr, nullptr, nullptr},
    {"resolved_endpoint", get<ReportObject, &ReportFields::resolved_endpoint>, nullptr, nullptr, nullptr},
    {"local_udp_address", get<ReportObject, &ReportFields::local_udp_address>, nullptr, nullptr, nullptr},
    {"client_public_key", get<ReportObject, &ReportFields::client_public_key>, nullptr, nullptr, nullptr},
    {"duration_ms", get<ReportObject, &ReportFields::duration_ms>, nullptr, nullptr, nullptr},
    {"sent_bytes", get<ReportObject, &ReportFields::sent_bytes>, nullptr, nullptr, nullptr},
    {"received_bytes", get<ReportObject, &ReportFields::received_bytes>, nullptr, nullptr, nullptr},
    {"phases", report_get_phases, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef report_methods[] = {
    {"to_json", to_json<ReportObject>, METH_NOARGS, "to_json($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- type objects ----
// No docstring, no instance dict, no weak references; Python cannot call the
// class (DISALLOW_INSTANTIATION) nor derive from it (no BASETYPE flag).

constexpr unsigned int type_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

PyType_Slot phase_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(phase_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(phase_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(nothing_to_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(MemorySafe<phase_repr>::call)},
    {Py_tp_getset, phase_getset},
    {Py_tp_methods, phase_methods},
    {0, nullptr},
};

PyType_Spec phase_spec = {
    "quorlin._quorlin.PhaseResult", sizeof(PhaseObject), 0, type_flags, phase_slots,
};

PyType_Slot report_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(report_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(report_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(nothing_to_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(MemorySafe<report_repr>::call)},
    {Py_tp_getset, report_getset},
    {Py_tp_methods, report_methods},
    {0, nullptr},
};

PyType_Spec report_spec = {
    "quorlin._quorlin.ProbeReport", sizeof(ReportObject), 0, type_flags, report_slots,
};

OnceCell phase_type_cell;
OnceCell report_type_cell;

// A fresh, tracked instance whose field pointers are still null.
PyObject* allocate(PyObject* type) {
    auto* type_object = reinterpret_cast<PyTypeObject*>(type);
    return type_object->tp_alloc(type_object, 0);
}

}  // namespace

PyObject* phase_result_type() {
    return phase_type_cell.get_or_create([] { return PyType_FromSpec(&phase_spec); });
}

PyObject* probe_report_type() {
    return report_type_cell.get_or_create([] { return PyType_FromSpec(&report_spec); });
}

PyObject* phase_result_from_engine(const PhaseResult& phase) {
    PyObject* type = phase_result_type();
    if (type == nullptr) return nullptr;
    auto fields = std::make_unique<PhaseFields>();
    fields->phase = phase.phase;
    fields->target = phase.target;
    fields->status = status_text(phase.status);
    fields->duration_ms = phase.duration_ms;
    fields->sent_bytes = phase.sent_bytes;
    fields->received_bytes = phase.received_bytes;
    fields->detail = phase.detail;
    // Writing JSON cannot fail for any phase value.
    fields->json_text.reserve(json_initial_capacity);
    append_json(fields->json_text, phase);

    PyObject* object = allocate(type);
    if (object == nullptr) return nullptr;
    reinterpret_cast<PhaseObject*>(object)->fields = fields.release();
    return object;
}

PyObject* probe_report_from_engine(const ProbeReport& report) {
    PyObject* type = probe_report_type();
    if (type == nullptr) return nullptr;
    auto fields = std::make_unique<ReportFields>();
    // Writing JSON cannot fail for any report value.
    fields->json_text.reserve(json_initial_capacity);
    append_json(fields->json_text, report);

    PyRef phases(PyTuple_New(static_cast<Py_ssize_t>(report.phases.size())));
    if (!phases) return nullptr;
    for (std::size_t index = 0; index < report.phases.size(); ++index) {
        PyObject* phase = phase_result_from_engine(report.phases[index]);
        if (phase == nullptr) return nullptr;  // the tuple releases the phases made so far
        PyTuple_SET_ITEM(phases.get(), static_cast<Py_ssize_t>(index), phase);
    }

    fields->schema_version = report.schema_version;
    fields->verdict = verdict_text(report.verdict);
    fields->endpoint = report.endpoint;
    if (report.resolved_endpoint) fields->resolved_endpoint = report.resolved_endpoint->to_text();
    if (report.local_udp_address) fields->local_udp_address = report.local_udp_address->to_text();
    fields->client_public_key = report.client_public_key;
    fields->duration_ms = report.duration_ms;
    fields->sent_bytes = report.sent_bytes;
    fields->received_bytes = report.received_bytes;

    PyObject* object = allocate(type);
    if (object == nullptr) return nullptr;
    auto* report_object = reinterpret_cast<ReportObject*>(object);
    report_object->fields = fields.release();
    report_object->phases = phases.release();
    return object;
}

}  // namespace quorlin::python
