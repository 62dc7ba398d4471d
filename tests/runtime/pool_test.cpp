#include "runtime/pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace korvane {
namespace {

// A deterministic per-index value that is not trivially the index itself.
std::uint64_t mix(std::uint64_t i) {
    std::uint64_t z = i + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    return z ^ (z >> 27);
}

// Fills out[i] = mix(i) through the pool and reports how often each index was
// visited and the largest piece seen.
struct Coverage {
    std::vector<std::uint64_t> out;
    std::vector<int> visits;
    std::size_t largest_piece = 0;
    Status status = ok_status();
};

Coverage cover(std::size_t n, std::size_t grain) {
    Coverage c;
    c.out.assign(n, 0);
    std::vector<std::atomic<int>> visits(n);
    std::atomic<std::size_t> largest{0};
    c.status = parallel_for(n, grain, [&](std::size_t begin, std::size_t end) {
        std::size_t seen = largest.load();
        while (end - begin > seen && !largest.compare_exchange_weak(seen, end - begin)) {
        }
        for (std::size_t i = begin; i < end; ++i) {
            c.out[i] = mix(i);
            visits[i].fetch_add(1);
        }
        return ok_status();
    });
    for (auto& v : visits) c.visits.push_back(v.load());
    c.largest_piece = largest.load();
    return c;
}

TEST(Pool, CoversEveryIndexOnceInPiecesOfAtMostGrain) {
    const std::pair<std::size_t, std::size_t> shapes[] = {
        {0, 4}, {1, 1}, {1, 0}, {7, 1}, {1000, 256}, {1001, 3}, {4096, 4096}, {100000, 97}};
    for (const auto& [n, grain] : shapes) {
        SCOPED_TRACE("n=" + std::to_string(n) + " grain=" + std::to_string(grain));
        const Coverage c = cover(n, grain);
        ASSERT_TRUE(c.status.ok());
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(c.out[i], mix(i)) << i;
            ASSERT_EQ(c.visits[i], 1) << i;
        }
        EXPECT_LE(c.largest_piece, std::max<std::size_t>(grain, 1));
    }
    EXPECT_GE(pool_size(), 1u);
}

TEST(Pool, ZeroLengthNeverCallsTheBody) {
    bool called = false;
    const Status s = parallel_for(0, 1, [&](std::size_t, std::size_t) {
        called = true;
        return ok_status();
    });
    EXPECT_TRUE(s.ok());
    EXPECT_FALSE(called);
}

TEST(Pool, FailuresReachTheCallerAfterAllPiecesRan) {
    constexpr std::size_t n = 64;
    struct Case {
        const char* name;
        std::size_t failing;  // index whose piece fails
        int how;              // 0: Error value, 1: std::exception, 2: bad_alloc, 3: non-standard
        ErrorKind kind;
        std::string message;
    };
    const Case cases[] = {
        {"error value", 5, 0, ErrorKind::Value, "piece five failed"},
        {"runtime_error", 63, 1, ErrorKind::Internal,
         "exception in a parallel task: column blew up"},
        {"bad_alloc", 0, 2, ErrorKind::Internal, "out of memory"},
        {"thrown int", 31, 3, ErrorKind::Internal, "unknown exception in a parallel task"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<std::size_t> ran{0};
        const Status s = parallel_for(n, 1, [&](std::size_t begin, std::size_t) -> Status {
            ran.fetch_add(1);
            if (begin != c.failing) return ok_status();
            switch (c.how) {
                case 0:
                    return Error::value(c.message);
                case 1:
                    throw std::runtime_error("column blew up");
                case 2:
                    throw std::bad_alloc();
                default:
                    throw 42;
            }
        });
        ASSERT_FALSE(s.ok());
        EXPECT_EQ(s.error().kind, c.kind);
        EXPECT_EQ(s.error().message, c.message);
        EXPECT_EQ(ran.load(), n);
    }

    // A single piece runs on the calling thread; it is guarded the same way.
    const Status single = parallel_for(
        3, 8, [](std::size_t, std::size_t) -> Status { throw std::logic_error("inline"); });
    ASSERT_FALSE(single.ok());
    EXPECT_EQ(single.error().message, "exception in a parallel task: inline");
}

TEST(Pool, SeveralFailingPiecesReportOneOfTheirErrors) {
    const Status s = parallel_for(40, 1, [](std::size_t begin, std::size_t) -> Status {
        if (begin % 10 == 3) return Error::value("bad " + std::to_string(begin));
        return ok_status();
    });
    ASSERT_FALSE(s.ok());
    const std::string& m = s.error().message;
    EXPECT_TRUE(m == "bad 3" || m == "bad 13" || m == "bad 23" || m == "bad 33") << m;
}

TEST(Pool, ConcurrentCallersEachGetTheirOwnResults) {
    constexpr int callers = 6;
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < callers; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int round = 0; round < 40; ++round) {
                const std::size_t n = 500 + 37 * t + round;
                const Coverage c = cover(n, 1 + static_cast<std::size_t>(t));
                bool good = c.status.ok();
                for (std::size_t i = 0; good && i < n; ++i) {
                    good = c.out[i] == mix(i) && c.visits[i] == 1;
                }
                if (!good) wrong.fetch_add(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Nested calls from inside pieces, three levels deep and wider than the pool,
// so that every worker ends up waiting on an inner batch at some point.
TEST(Pool, NestedCallsFinishWithoutDeadlock) {
    constexpr std::size_t outer = 16, middle = 8, inner = 50;
    std::vector<std::uint64_t> out(outer * middle * inner, 0);
    const Status s = parallel_for(outer, 1, [&](std::size_t a, std::size_t) {
        return parallel_for(middle, 1, [&, a](std::size_t b, std::size_t) {
            return parallel_for(inner, 7, [&, a, b](std::size_t begin, std::size_t end) {
                for (std::size_t k = begin; k < end; ++k) {
                    const std::size_t i = (a * middle + b) * inner + k;
                    out[i] = mix(i);
                }
                return ok_status();
            });
        });
    });
    ASSERT_TRUE(s.ok());
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], mix(i)) << i;

    // An inner failure surfaces through every level.
    const Status failed = parallel_for(4, 1, [](std::size_t a, std::size_t) {
        return parallel_for(4, 1, [a](std::size_t b, std::size_t) -> Status {
            if (a == 2 && b == 1) return Error::value("inner");
            return ok_status();
        });
    });
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message, "inner");
}

// The child of a fork() has none of the parent's worker threads; it must get a
// working pool instead of waiting forever on the parent's. The parent keeps a
// thread busy on the pool while forking, so the copied pool state is likely to
// be mid-use (its mutex held by a thread that does not exist in the child).
TEST(Pool, ForkedChildGetsAWorkingPool) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitiser's allocator keeps no fork handlers: a child forked while
    // another thread holds its lock waits for it forever at the first malloc,
    // before any of the pool's code runs. glibc's malloc has the handlers.
    GTEST_SKIP() << "fork with threads running is not safe under the address sanitiser";
#endif
    ASSERT_TRUE(cover(1000, 10).status.ok());  // the pool is running

    std::atomic<bool> stop{false};
    std::thread busy([&stop] {
        while (!stop.load()) (void)cover(2000, 3);
    });

    for (int attempt = 0; attempt < 5; ++attempt) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(30);  // a deadlocked child dies of SIGALRM instead of hanging the suite
            int code = 0;
            for (int round = 0; round < 3 && code == 0; ++round) {
                const Coverage c = cover(5000, 16);
                if (!c.status.ok()) code = 2;
                for (std::size_t i = 0; code == 0 && i < c.out.size(); ++i) {
                    if (c.out[i] != mix(i) || c.visits[i] != 1) code = 3;
                }
            }
            if (code == 0 && pool_size() < 1) code = 4;
            _exit(code);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status))
            << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0);
        }
    }
    stop.store(true);
    busy.join();

    // The parent's pool is untouched by the fork handlers.
    EXPECT_TRUE(cover(3000, 5).status.ok());
}

}  // namespace
}  // namespace korvane
