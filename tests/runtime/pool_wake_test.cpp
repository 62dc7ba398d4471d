// The pool wakes its sleeping workers only for batches worth a wake-up. The
// fault to catch is a policy that leaves a long batch to the calling thread
// alone, in particular after a run of tiny batches taught it that pieces are
// cheap.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "runtime/pool.hpp"

namespace korvane {
namespace {

// Runs `pieces` pieces of `each` sleep and returns how many threads ran them.
std::size_t threads_running(std::size_t pieces, std::chrono::microseconds each) {
    std::mutex mutex;
    std::set<std::thread::id> seen;
    const Status status = parallel_for(pieces, 1, [&](std::size_t, std::size_t) {
        std::this_thread::sleep_for(each);
        std::lock_guard guard(mutex);
        seen.insert(std::this_thread::get_id());
        return ok_status();
    });
    EXPECT_TRUE(status.ok());
    return seen.size();
}

TEST(PoolWake, LongBatchesSpreadOverWorkersEvenAfterTinyOnes) {
    if (pool_size() == 0) GTEST_SKIP() << "no worker threads";
    // Many tiny batches first: the calling thread's forecast becomes "cheap".
    for (int i = 0; i < 200; ++i) threads_running(4, std::chrono::microseconds{0});
    // Let every worker finish spinning and go to sleep.
    std::this_thread::sleep_for(std::chrono::milliseconds{20});
    // Eight 20 ms pieces: one thread alone would take 160 ms.
    EXPECT_GE(threads_running(8, std::chrono::microseconds{20'000}), 2u);
    // Tiny batches still complete, whoever runs them.
    for (int i = 0; i < 200; ++i) EXPECT_GE(threads_running(3, std::chrono::microseconds{0}), 1u);
}

}  // namespace
}  // namespace korvane
