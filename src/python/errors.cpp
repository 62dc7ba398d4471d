#include "python/errors.hpp"

#include <exception>
#include <string>

namespace korvane::py {

std::nullptr_t raise_text(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

std::nullptr_t raise_error(const Error& error) {
    // An interruption leaves its exception pending (the signal handler's,
    // usually KeyboardInterrupt); that exception is the result.
    if (error.kind == ErrorKind::Interrupted) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }
    PyObject* type = PyExc_ValueError;
    switch (error.kind) {
        case ErrorKind::Value:
            type = PyExc_ValueError;
            break;
        // A broken invariant is not the caller's bad value; RuntimeError keeps
        // it apart from the ValueErrors of the module's own checks.
        case ErrorKind::Internal:
            type = PyExc_RuntimeError;
            break;
        case ErrorKind::Interrupted:
            break;  // handled above
    }
    return raise_text(type, error.message);
}

void raise_current_cpp_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        std::string text = "internal error: ";
        try {
            text += e.what();
        } catch (...) {
        }
        raise_text(PyExc_RuntimeError, text);
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error: unknown C++ exception");
    }
}

#if PY_VERSION_HEX >= 0x030C0000
PyRef fetch_exception() noexcept { return PyRef::steal(PyErr_GetRaisedException()); }

void restore_exception(PyRef exception) noexcept {
    if (exception) PyErr_SetRaisedException(exception.release());
}
#else
PyRef fetch_exception() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
}

void restore_exception(PyRef exception) noexcept {
    if (!exception) return;
    PyObject* value = exception.release();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
}
#endif

namespace {

// Replaces the pending exception by `base`("argument '<name>': " + str(it)),
// chaining the original as __cause__; keeps the original when that fails.
void replace_with_prefixed(PyObject* base, std::string_view name) noexcept {
    PyRef original = fetch_exception();
    PyRef reason = PyRef::steal(PyObject_Str(original.get()));
    if (!reason) {
        // A user exception whose __str__ fails still deserves the argument name.
        PyErr_Clear();
        reason = PyRef::steal(PyUnicode_FromString("<unprintable exception>"));
        if (!reason) {
            restore_exception(std::move(original));
            return;
        }
    }
    PyRef name_text = PyRef::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
    PyRef message;
    if (name_text) {
        message =
            PyRef::steal(PyUnicode_FromFormat("argument '%U': %U", name_text.get(), reason.get()));
    }
    if (!message) {
        PyErr_Clear();
        restore_exception(std::move(original));
        return;
    }
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(base, message.get()));
    if (!replacement) {
        PyErr_Clear();
        restore_exception(std::move(original));
        return;
    }
    // SetCause steals the cause reference.
    PyException_SetCause(replacement.get(), original.release());
    restore_exception(std::move(replacement));
}

}  // namespace

void prefix_argument_error(std::string_view name) noexcept {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        replace_with_prefixed(PyExc_TypeError, name);
    } else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        replace_with_prefixed(PyExc_OverflowError, name);
    }
}

void prefix_unencodable_text_error(std::string_view name) noexcept {
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        replace_with_prefixed(PyExc_ValueError, name);
    }
}

}  // namespace korvane::py
