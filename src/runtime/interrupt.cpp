#include "runtime/interrupt.hpp"

#include <algorithm>
#include <atomic>

namespace korvane {
namespace {

thread_local InterruptPolling polling;
std::atomic<int> cancel_all{0};

// The stride between clock reads adapts so that a read happens roughly every
// 1–10 ms whatever one evaluation costs: a 20-point spectrum evaluates in
// well under a microsecond, where reading the clock on every call would
// show in a benchmark, while a many-element circuit over thousands of points
// may take milliseconds per evaluation, where a fixed large stride would
// delay the check by seconds.
constexpr std::chrono::milliseconds kFastRead{1};
constexpr std::chrono::milliseconds kSlowRead{10};
constexpr std::uint32_t kMaxStride = 4096;

}  // namespace

InterruptScope::InterruptScope(InterruptCheck check, void* context) noexcept : previous_(polling) {
    polling = InterruptPolling{};
    polling.check = check;
    polling.context = context;
    polling.last_read = std::chrono::steady_clock::now();
    polling.next_check = polling.last_read + kInterruptCheckInterval;
}

InterruptScope::~InterruptScope() { polling = previous_; }

bool InterruptScope::interrupted() const noexcept { return polling.interrupted; }

Error interrupted_error() { return Error::interrupted("interrupted"); }

void raise_cancel_all() noexcept { cancel_all.fetch_add(1, std::memory_order_relaxed); }

void lower_cancel_all() noexcept { cancel_all.fetch_sub(1, std::memory_order_relaxed); }

Status poll_interrupt() noexcept {
    InterruptPolling& state = polling;
    if (state.check == nullptr) return ok_status();
    if (state.interrupted) return interrupted_error();
    if (++state.calls < state.stride) return ok_status();
    state.calls = 0;

    const auto now = std::chrono::steady_clock::now();
    const auto since_read = now - state.last_read;
    state.last_read = now;
    if (since_read < kFastRead) {
        state.stride = std::min(2 * state.stride, kMaxStride);
    } else if (since_read > kSlowRead) {
        state.stride = std::max<std::uint32_t>(state.stride / 2, 1);
    }
    if (now < state.next_check) return ok_status();
    state.next_check = now + kInterruptCheckInterval;
    if (cancel_all.load(std::memory_order_relaxed) == 0 && !state.check(state.context)) {
        return ok_status();
    }
    state.interrupted = true;
    return interrupted_error();
}

}  // namespace korvane
