#include "python/pickle_state.hpp"

#include <bit>
#include <cstdint>
#include <string>

#include "python/convert.hpp"

namespace korvane::py {

namespace {

// Element indices from a tuple or list of ints (a JSON file gives lists).
std::optional<std::vector<std::size_t>> to_index_vector(PyObject* object) {
    if (!PyTuple_Check(object) && !PyList_Check(object)) {
        PyErr_Format(PyExc_TypeError, "state field 'unlabeled' must be a tuple, not '%s'",
                     Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    PyRef items = PyRef::steal(PySequence_Tuple(object));
    if (!items) return std::nullopt;
    std::vector<std::size_t> out;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        std::optional<std::uint64_t> index =
            state_count(PyTuple_GET_ITEM(items.get(), i), "unlabeled");
        if (!index) return std::nullopt;
        out.push_back(static_cast<std::size_t>(*index));
    }
    return out;
}

}  // namespace

PyObject* pack_doubles(std::span<const double> values) {
    PyRef bytes = PyRef::steal(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(values.size() * 8)));
    if (!bytes) return nullptr;
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    for (const double value : values) {
        std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
        for (int k = 0; k < 8; ++k, bits >>= 8) *out++ = static_cast<unsigned char>(bits & 0xff);
    }
    return bytes.release();
}

std::optional<std::vector<double>> unpack_doubles(PyObject* object, std::string_view name) {
    if (!PyBytes_Check(object)) {
        PyErr_Format(PyExc_TypeError, "state field '%s' must be bytes, not '%s'",
                     std::string(name).c_str(), Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(object);
    if (size % 8 != 0) {
        PyErr_Format(PyExc_ValueError,
                     "state field '%s' must hold whole 8-byte numbers, got %zd bytes",
                     std::string(name).c_str(), size);
        return std::nullopt;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(object));
    std::vector<double> values(static_cast<std::size_t>(size / 8));
    for (double& value : values) {
        std::uint64_t bits = 0;
        for (int k = 7; k >= 0; --k) bits = (bits << 8) | in[k];
        value = std::bit_cast<double>(bits);
        in += 8;
    }
    return values;
}

bool check_state_version(PyObject* version, std::string_view class_name) {
    if (!PyLong_CheckExact(version)) {
        PyErr_Format(PyExc_TypeError, "%s state version must be an int, not '%s'",
                     std::string(class_name).c_str(), Py_TYPE(version)->tp_name);
        return false;
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(version, &overflow);
    if (overflow != 0 || value != kStateVersion) {
        PyErr_Format(PyExc_ValueError,
                     "unsupported %s state version %R (this korvane reads version %ld)",
                     std::string(class_name).c_str(), version, kStateVersion);
        return false;
    }
    return true;
}

PyObject* make_reduce_value(PyTypeObject* type, PyObject* state) {
    PyRef reconstructor =
        PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "_from_state"));
    if (!reconstructor) return nullptr;
    return PyTuple_Pack(2, reconstructor.get(), state);
}

std::optional<std::uint64_t> state_count(PyObject* object, std::string_view name) {
    std::optional<std::uint64_t> value = to_u64(object, name);
    if (!value && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "state field '%s' is out of range: %R",
                     std::string(name).c_str(), object);
    }
    return value;
}

std::optional<bool> state_bool(PyObject* object, std::string_view name) {
    if (!PyBool_Check(object)) {
        PyErr_Format(PyExc_TypeError, "state field '%s' must be a bool, not '%s'",
                     std::string(name).c_str(), Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    return object == Py_True;
}

std::optional<CircuitForm> circuit_form_from_state(PyObject* state) {
    PyObject* version = nullptr;
    PyObject* text_object = nullptr;
    PyObject* unlabeled_object = nullptr;
    PyObject* values_object = nullptr;
    PyObject* explicit_object = nullptr;
    if (!PyArg_ParseTuple(state, "OOOOO:_from_state", &version, &text_object, &unlabeled_object,
                          &values_object, &explicit_object)) {
        return std::nullopt;
    }
    if (!check_state_version(version, "Circuit")) return std::nullopt;
    CircuitForm form;
    std::optional<std::string> text = to_text(text_object, "text");
    if (!text) return std::nullopt;
    form.text = std::move(*text);
    std::optional<std::vector<std::size_t>> unlabeled = to_index_vector(unlabeled_object);
    if (!unlabeled) return std::nullopt;
    form.unlabeled = std::move(*unlabeled);
    std::optional<std::vector<double>> values = unpack_doubles(values_object, "values");
    if (!values) return std::nullopt;
    form.values = std::move(*values);
    std::optional<bool> values_explicit = state_bool(explicit_object, "values_explicit");
    if (!values_explicit) return std::nullopt;
    form.values_explicit = *values_explicit;
    return form;
}

}  // namespace korvane::py
