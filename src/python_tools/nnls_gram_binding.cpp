#include "python_tools/nnls_gram_binding.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>

#include "python/errors.hpp"
#include "python_tools/nnls_gram.hpp"

namespace korvane::py {
namespace {

// A buffer held for the length of the call.
class Buffer {
  public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // `object`'s C-contiguous buffer of `count` items (any number when
    // negative) of one of the struct format letters `formats`, writeable if
    // asked.
    bool get(PyObject* object, const char* name, std::string_view formats, Py_ssize_t itemsize,
             Py_ssize_t count, bool writeable) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writeable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
        held_ = true;
        const std::string_view format = view_.format == nullptr ? "B" : view_.format;
        const bool typed = format.size() == 1 && formats.find(format[0]) != std::string_view::npos;
        if (!typed || view_.itemsize != itemsize) {
            PyErr_Format(PyExc_TypeError, "nnls_gram: %s has the wrong item type", name);
            return false;
        }
        if (count >= 0 && view_.len != count * itemsize) {
            PyErr_Format(PyExc_ValueError, "nnls_gram: %s must hold %zd values, not %zd", name,
                         count, view_.len / itemsize);
            return false;
        }
        return true;
    }

    template <class T>
    std::span<T> span() const {
        return {static_cast<T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T)};
    }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace

const char* const kNnlsGramDoc =
    "nnls_gram(h, g, free, x, factor, order)\n--\n\n"
    "Minimises x'Hx/2 - g'x subject to x >= 0, H (m x m float64, symmetric positive\n"
    "definite) and g (m float64). free (m bool) is the warm start on entry and the\n"
    "free set on exit; x (m float64) receives the solution, order (m int64) the free\n"
    "variables in the order of factor (m*m float64), whose first k*k values are the\n"
    "lower Cholesky factor of H on them, row-major. Returns (k, converged).";

PyObject* native_nnls_gram(PyObject* /*module*/, PyObject* const* args, Py_ssize_t count) {
    return guarded([&]() -> PyObject* {
        if (count != 6) {
            PyErr_Format(PyExc_TypeError, "nnls_gram takes 6 arguments, got %zd", count);
            return nullptr;
        }
        Buffer g;
        if (!g.get(args[1], "g", "d", 8, -1, false)) return nullptr;
        const Py_ssize_t m = static_cast<Py_ssize_t>(g.span<const double>().size());
        Buffer h, free, x, factor, order;
        if (!h.get(args[0], "h", "d", 8, m * m, false) ||
            !free.get(args[2], "free", "?Bb", 1, m, true) ||
            !x.get(args[3], "x", "d", 8, m, true) ||
            !factor.get(args[4], "factor", "d", 8, m * m, true) ||
            !order.get(args[5], "order", "qlQL", 8, m, true)) {
            return nullptr;
        }
        // A NaN compares false everywhere, so the active-set tests would all
        // fail quietly and report the zero vector as optimal.
        const auto finite = [](std::span<const double> values) {
            return std::ranges::all_of(values, [](double v) { return std::isfinite(v); });
        };
        if (!finite(h.span<const double>()) || !finite(g.span<const double>())) {
            PyErr_SetString(PyExc_ValueError, "nnls_gram: h and g must be finite");
            return nullptr;
        }
        const tools::NnlsGramOutcome outcome = without_gil([&] {
            return tools::nnls_gram(h.span<const double>(), g.span<const double>(),
                                    free.span<std::uint8_t>(), x.span<double>(),
                                    factor.span<double>(), order.span<std::int64_t>());
        });
        return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(outcome.free_count),
                             outcome.converged ? Py_True : Py_False);
    });
}

}  // namespace korvane::py
