#pragma once
// Cooperative interruption of long numerical work. A fit with default
// settings makes some 200 000 residual evaluations, and a user pressing
// Ctrl-C expects it to stop. The core cannot look at Python's signal state,
// so the caller that owns the work (the binding) installs a check for the
// duration of a call on its own thread, and the evaluation loops poll it:
// when the check reports an interruption, the loop ends with an Error of
// kind Interrupted and everything unwinds through the ordinary error paths,
// leaving nothing half-built.
//
// Polling is cheap enough for the innermost evaluation: a thread-local test
// when no check is installed (worker threads never have one), otherwise a
// counter and, every stride-th call, a steady-clock read; the check itself
// runs at most once per kInterruptCheckInterval.

#include <chrono>
#include <cstdint>

#include "runtime/result.hpp"

namespace korvane {

// The shortest time between two runs of an installed check.
inline constexpr std::chrono::milliseconds kInterruptCheckInterval{100};

// Returns true when the work must stop. Runs on the thread that installed it.
using InterruptCheck = bool (*)(void* context);

// What the polls of one thread need, kept thread-local.
struct InterruptPolling {
    InterruptCheck check = nullptr;
    void* context = nullptr;
    bool interrupted = false;
    std::uint32_t calls = 0;   // polls since the last clock read
    std::uint32_t stride = 1;  // polls between clock reads, adapted to the evaluation time
    std::chrono::steady_clock::time_point last_read{};
    std::chrono::steady_clock::time_point next_check{};
};

// Installs `check` for the calling thread until destruction (restoring any
// check installed before). Once the check has reported an interruption,
// every later poll inside the scope reports it again, so no loop can carry
// on past a swallowed error.
class InterruptScope {
  public:
    InterruptScope(InterruptCheck check, void* context) noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

    // Whether the check reported an interruption during this scope.
    bool interrupted() const noexcept;

  private:
    InterruptPolling previous_;  // the enclosing scope's state, restored on exit
};

// The Error every interrupted loop returns.
Error interrupted_error();

// Cancels every running computation that has a check installed, whatever
// thread it runs on. Python runs signal handlers only on the main thread, so
// a check alone never stops the worker threads of a batch of fits; the batch
// raises this while it unwinds and lowers it once its workers have returned.
// Raises nest (a count), so two batches cancelling at once do not release
// each other's workers early.
void raise_cancel_all() noexcept;
void lower_cancel_all() noexcept;

// OK, or interrupted_error() when the installed check says to stop (or a
// cancel of all computations is raised). Safe and
// nearly free on threads without a check.
Status poll_interrupt() noexcept;

}  // namespace korvane
