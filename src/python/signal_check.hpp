#pragma once
// Ctrl-C during a long computation that runs without the interpreter lock.
// Python runs signal handlers only on the main thread when it holds the
// lock, so a fit of 200 000 evaluations would otherwise ignore Ctrl-C until
// it ends. A SignalCheck installs a check for the core's polls
// (runtime/interrupt.hpp) on the calling thread: at most every 100 ms it
// briefly takes the lock and lets Python run pending handlers. When a handler
// raises (KeyboardInterrupt), the exception stays pending on this thread and
// the computation unwinds with ErrorKind::Interrupted.

#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "runtime/interrupt.hpp"

namespace korvane::py {

// Create inside the released region (after GilRelease), so that it is gone
// before the lock is taken back.
class SignalCheck {
  public:
    SignalCheck() noexcept;
    // Whether a handler raised during the computation: its exception is then
    // pending, and is the call's result whatever the computation returned.
    bool interrupted() const noexcept { return scope_.interrupted(); }

  private:
    InterruptScope scope_;
};

// without_gil(body) for long work that Ctrl-C must be able to stop: `body`
// returns a Result, and an interruption during it makes the result
// interrupted_error() (whose raise_error keeps the handler's exception),
// whatever the body returned.
template <class Body>
auto without_gil_interruptible(Body&& body) -> decltype(body()) {
    bool interrupted = false;
    auto result = without_gil([&] {
        const SignalCheck signals;
        auto done = body();
        interrupted = signals.interrupted();
        return done;
    });
    if (interrupted) return interrupted_error();
    return result;
}

}  // namespace korvane::py
