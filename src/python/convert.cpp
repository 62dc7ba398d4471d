#include "python/convert.hpp"

#include <algorithm>
#include <cstring>

#include "python/errors.hpp"

namespace korvane::py {
namespace {

// A lying __len__ must not make us reserve gigabytes; longer inputs simply
// grow the vector as they are read.
constexpr Py_ssize_t kMaxPresize = Py_ssize_t{1} << 16;

template <class T>
std::optional<T> failed(std::string_view name) {
    if (!name.empty()) prefix_argument_error(name);
    return std::nullopt;
}

bool refuse_str(PyObject* object, std::string_view name) {
    if (!PyUnicode_Check(object)) return false;
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    failed<int>(name);
    return true;
}

bool refuse_non_sequence(PyObject* object, std::string_view name) {
    if (PySequence_Check(object)) return false;
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 type_name(object).c_str());
    failed<int>(name);
    return true;
}

std::optional<Cplx> item_to_complex(PyObject* item) {
    const Py_complex value = PyComplex_AsCComplex(item);
    if (value.real == -1.0 && PyErr_Occurred()) return std::nullopt;
    return Cplx{value.real, value.imag};
}

std::optional<double> item_to_double(PyObject* item) {
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
    return value;
}

// Native-order formats of one double and of a pair of doubles.
bool is_format(const char* format, const char* code) {
    if (format == nullptr) return false;
    if (format[0] == '@' || format[0] == '=') ++format;
#if PY_LITTLE_ENDIAN
    if (format[0] == '<') ++format;
#else
    if (format[0] == '>' || format[0] == '!') ++format;
#endif
    return std::strcmp(format, code) == 0;
}

// Copies a one-dimensional buffer of `T` with the struct format `code`.
// Returns false (and no exception) when the object has no such buffer.
template <class T>
bool read_buffer(PyObject* object, const char* code, std::vector<T>& out) {
    if (!PyObject_CheckBuffer(object)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    const bool usable = view.ndim == 1 && view.itemsize == static_cast<Py_ssize_t>(sizeof(T)) &&
                        is_format(view.format, code);
    if (usable) {
        try {
            out.resize(static_cast<std::size_t>(view.shape[0]));
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        const char* base = static_cast<const char*>(view.buf);
        const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
        for (Py_ssize_t i = 0; i < view.shape[0]; ++i) {
            std::memcpy(&out[static_cast<std::size_t>(i)], base + i * stride, sizeof(T));
        }
    }
    PyBuffer_Release(&view);
    return usable;
}

// Iterates a sequence, converting each item with `convert`.
template <class T, class Convert>
std::optional<std::vector<T>> read_sequence(PyObject* object, std::string_view name,
                                            Convert convert) {
    std::vector<T> out;
    const Py_ssize_t length = PyObject_Length(object);
    if (length < 0) {
        PyErr_Clear();  // only costs the pre-sizing
    } else {
        out.reserve(static_cast<std::size_t>(std::min(length, kMaxPresize)));
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return failed<std::vector<T>>(name);
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        std::optional<T> value = convert(item.get());
        if (!value) return failed<std::vector<T>>(name);
        out.push_back(*value);
    }
    if (PyErr_Occurred()) return failed<std::vector<T>>(name);
    return out;
}

}  // namespace

std::string type_name(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return Py_TYPE(object)->tp_name;
}

std::optional<double> to_double(PyObject* object, std::string_view name) {
    std::optional<double> value = item_to_double(object);
    if (!value) return failed<double>(name);
    return value;
}

std::optional<std::uint64_t> to_u64(PyObject* object, std::string_view name) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return failed<std::uint64_t>(name);
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return failed<std::uint64_t>(name);
    }
    return static_cast<std::uint64_t>(value);
}

std::optional<std::size_t> to_size(PyObject* object, std::string_view name) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return failed<std::size_t>(name);
    const std::size_t value = PyLong_AsSize_t(index.get());
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        return failed<std::size_t>(name);
    }
    return value;
}

std::optional<bool> to_bool(PyObject* object, std::string_view name) {
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    // NumPy is never imported for this: its boolean scalar is recognised by
    // type name ("numpy.bool" in NumPy 2, "numpy.bool_" before).
    const char* tp_name = Py_TYPE(object)->tp_name;
    if (std::strcmp(tp_name, "numpy.bool") == 0 || std::strcmp(tp_name, "numpy.bool_") == 0) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return failed<bool>(name);
        return truth != 0;
    }
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'bool'",
                 type_name(object).c_str());
    return failed<bool>(name);
}

std::optional<std::string> to_text(PyObject* object, std::string_view name) {
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'",
                     type_name(object).c_str());
        return failed<std::string>(name);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) {
        if (!name.empty()) prefix_unencodable_text_error(name);
        return failed<std::string>(name);
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<std::string> to_text_escaping_surrogates(PyObject* object, std::string_view name) {
    if (!PyUnicode_Check(object)) return to_text(object, name);
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return failed<std::string>(name);
    PyErr_Clear();
    PyRef escaped = PyRef::steal(PyUnicode_AsEncodedString(object, "utf-8", "backslashreplace"));
    if (!escaped) return failed<std::string>(name);
    return std::string(PyBytes_AS_STRING(escaped.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(escaped.get())));
}

std::optional<std::vector<double>> to_double_vector(PyObject* object, std::string_view name) {
    if (refuse_str(object, name) || refuse_non_sequence(object, name)) return std::nullopt;
    std::vector<double> out;
    if (read_buffer(object, "d", out)) return out;
    return read_sequence<double>(object, name, item_to_double);
}

std::optional<std::vector<Cplx>> to_complex_vector(PyObject* object, std::string_view name) {
    if (refuse_str(object, name) || refuse_non_sequence(object, name)) return std::nullopt;
    static_assert(sizeof(Cplx) == 2 * sizeof(double), "Cplx must match complex128");
    std::vector<Cplx> out;
    if (read_buffer(object, "Zd", out)) return out;
    return read_sequence<Cplx>(object, name, item_to_complex);
}

}  // namespace korvane::py
