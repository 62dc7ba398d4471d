#pragma once
// Owning handle for a PyObject reference. Construction says whether the
// reference is taken over (steal: new references returned by the C API) or
// shared (borrow: adds one), so every success path releases exactly what it
// owns without a hand-written Py_DECREF. Must only be created, copied and
// destroyed with the interpreter lock held.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace korvane::py {

class PyRef {
  public:
    PyRef() noexcept = default;

    // Takes over a new reference (may be null: a failed API call).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Shares a borrowed reference.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to a caller that steals it (a return value, a
    // PyList_SET_ITEM slot).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace korvane::py
