#pragma once
// Ctrl-C during a long computation that runs without the interpreter lock.
// Python runs signal handlers only on the main thread when it holds the
// lock, so a fit of 200 000 evaluations would otherwise ignore Ctrl-C until
// it ends. A SignalCheck installs a check for the core's polls
// (runtime/interrupt.hpp) on the calling thread: at most every 100 ms it
// briefly takes the lock and lets Python run pending handlers. When a handler
// raises (KeyboardInterrupt), the exception stays pending on this thread and
// the computation unwinds with ErrorKind::Interrupted.

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

}  // namespace korvane::py
