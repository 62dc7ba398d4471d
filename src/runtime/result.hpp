#pragma once
// Failure as a value. Every operation a user can reach returns either its
// result or an Error carrying the message the user will read; the Python
// layer chooses the exception class from the kind.

#include <string>
#include <utility>
#include <variant>

namespace korvane {

enum class ErrorKind {
    Value,     // a check of the module's own (ValueError)
    Internal,  // a violated internal invariant; must reach the caller, never abort
    // The caller's interruption check stopped the work (runtime/interrupt.hpp);
    // the binding raises the exception its signal handler left pending.
    Interrupted,
};

struct Error {
    ErrorKind kind = ErrorKind::Value;
    std::string message;

    static Error value(std::string text) { return {ErrorKind::Value, std::move(text)}; }
    static Error internal(std::string text) { return {ErrorKind::Internal, std::move(text)}; }
    static Error interrupted(std::string text) { return {ErrorKind::Interrupted, std::move(text)}; }
};

// A value of type T or an error (by default an Error). Deliberately small:
// ok(), value(), error(). Subsystems with richer error kinds (the weight-file
// reader) instantiate it with their own error type.
template <class T, class E = Error>
class Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const E& error() const { return std::get<1>(state_); }
    E&& take_error() { return std::get<1>(std::move(state_)); }

  private:
    std::variant<T, E> state_;
};

// Result of an operation that produces nothing but may fail.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace korvane
