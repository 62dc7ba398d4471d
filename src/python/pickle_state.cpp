#include "python/pickle_state.hpp"

#include <bit>
#include <cstdint>
#include <string>

namespace korvane::py {

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
                     std::string(class_name).c_str(),
                     Py_TYPE(version)->tp_name);
        return false;
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(version, &overflow);
    if (overflow != 0 || value != kStateVersion) {
        PyErr_Format(PyExc_ValueError,
                     "unsupported %s state version %R (this korvane reads version %ld)",
                     std::string(class_name).c_str(), version,
                     kStateVersion);
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

std::optional<bool> state_bool(PyObject* object, std::string_view name) {
    if (!PyBool_Check(object)) {
        PyErr_Format(PyExc_TypeError, "state field '%s' must be a bool, not '%s'",
                     std::string(name).c_str(), Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    return object == Py_True;
}

}  // namespace korvane::py
