#pragma once
// The one boundary between C++ failures and Python exceptions. Every entry
// point the interpreter can call runs its body through `guarded`, so a C++
// exception never unwinds into the interpreter, and every core Error becomes
// an exception through `raise_error` (one table: kind -> class).

#include <exception>
#include <new>
#include <string_view>

#include "python/py_ref.hpp"
#include "runtime/result.hpp"

namespace korvane::py {

// Sets the Python exception for a core error: ErrorKind::Value raises
// ValueError, ErrorKind::Internal RuntimeError; the text is kept verbatim.
// ErrorKind::Interrupted keeps the exception a signal handler left pending
// (KeyboardInterrupt when there is none).
// Returns nullptr so call sites can `return raise_error(e);`.
std::nullptr_t raise_error(const Error& error);

// Sets `type` with a UTF-8 message of any length (PyErr_SetString wants a
// null-terminated C string).
std::nullptr_t raise_text(PyObject* type, std::string_view message);

// Converts whatever the body threw into a Python exception. Called only from
// the catch handlers of `guarded`, with the interpreter lock held.
void raise_current_cpp_exception() noexcept;

// Runs an entry-point body; a C++ exception becomes MemoryError (bad_alloc)
// or RuntimeError and the entry point returns its failure value.
template <class Body>
auto guarded(Body&& body, decltype(body()) failure) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        raise_current_cpp_exception();
        return failure;
    }
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    return guarded(static_cast<Body&&>(body), static_cast<PyObject*>(nullptr));
}

namespace detail {
class GilRelease {
  public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

  private:
    PyThreadState* state_;
};
}  // namespace detail

// body() with the interpreter lock released; returns what body returns. The
// lock is taken back as body finishes, so it is held again before the result
// is looked at and before any exception thrown by body reaches the barrier.
// body must not touch Python objects.
template <class Body>
decltype(auto) without_gil(Body&& body) {
    const detail::GilRelease unlocked;
    return static_cast<Body&&>(body)();
}

// The pending exception as one object (type, value and traceback together),
// for the few places that must inspect, keep or rewrite an error. Empty when
// nothing is pending.
PyRef fetch_exception() noexcept;
void restore_exception(PyRef exception) noexcept;

// When the pending exception is a TypeError or OverflowError (subclasses
// included), replaces it by the same base class with the message
// "argument '<name>': <original message>", chaining the original as
// __cause__. Other exceptions (MemoryError, KeyboardInterrupt, whatever a
// user's __float__ raised) pass unchanged, as they would from float().
void prefix_argument_error(std::string_view name) noexcept;

// When the pending exception is a UnicodeEncodeError (a str holding a lone
// surrogate, which has no UTF-8 form), replaces it by a ValueError with the
// same "argument '<name>': " prefix and chaining: the text has the right
// type but an unusable value.
void prefix_unencodable_text_error(std::string_view name) noexcept;

}  // namespace korvane::py
