#include "python/signal_check.hpp"

namespace korvane::py {
namespace {

// The thread's state was saved by GilRelease; PyGILState_Ensure restores it
// (not a new one), so an exception set here is still pending when the
// computation hands the lock back.
bool signal_raised(void* /*context*/) {
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() < 0;
    PyGILState_Release(state);
    return raised;
}

}  // namespace

SignalCheck::SignalCheck() noexcept : scope_(signal_raised, nullptr) {}

}  // namespace korvane::py
