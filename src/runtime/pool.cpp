// The process-wide worker pool.
//
// A call of parallel_for becomes a Batch on the caller's stack: the pieces of
// [0, n) produced by recursive halving, a claim cursor, a completion count and
// the first recorded error. Batches with unclaimed pieces sit on one shared
// list; workers claim pieces from the newest batch first, so a nested batch
// (created inside a piece) is drained before its parent's remaining pieces.
//
// Deadlock freedom under nesting: the caller of a batch claims and runs its
// own unclaimed pieces before it sleeps. Every piece of a batch is therefore
// either still claimable by the caller or running on some thread, and a
// running piece finishes once its own (strictly deeper) nested batches do.
// The caller only helps with its own batch, never with foreign ones, so a
// waiting caller is never stuck inside an unrelated long task.
//
// Hand-off latency: a Jacobian column of a small spectrum is a few
// microseconds of work, about what waking a sleeping thread through a
// condition variable costs (futex call, context switch). So sleeping workers
// are woken only when a batch holds enough work to repay the wake-up: the
// caller forecasts the batch from the shortest piece of its previous batch
// (consecutive Jacobians of a fit are alike) and of the pieces it has run
// so far. Below that the caller runs the pieces itself, helped by any worker
// that happens to be awake. Who runs a piece never changes its result, and
// the caller never depends on a worker, so the deadlock argument above is
// untouched. A caller waiting for its last pieces spins for a bounded time
// (kSpinBudget) on an atomic mirror of the completion count, with a pause
// instruction per probe, before it sleeps; the guarded count stays
// authoritative and is re-checked under the mutex. (Idle workers do not
// spin: measured, it burnt more processor time than the wake-ups it saved.)
//
// Fork safety: after fork() the child holds copies of the pool's mutex and
// batch list, but none of its worker threads. The child handler abandons
// that state (it is leaked on purpose: destroying a mutex that a vanished
// thread may hold is undefined) and the next parallel task starts a fresh
// pool.

#include "runtime/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace korvane {
namespace {

// Long enough to cover the tail of a batch of short pieces, short enough
// that a long tail costs next to nothing extra.
constexpr std::chrono::microseconds kSpinBudget{50};
// Remaining work worth a futex wake-up and a context switch or two.
constexpr std::chrono::nanoseconds kWorthWaking{40'000};

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// Spins until done() holds or the budget runs out; returns done().
template <class Done>
bool spin_until(Done&& done) {
    const auto deadline = std::chrono::steady_clock::now() + kSpinBudget;
    for (;;) {
        for (int i = 0; i < 32; ++i) {
            if (done()) return true;
            cpu_relax();
        }
        if (std::chrono::steady_clock::now() >= deadline) return done();
    }
}

struct Piece {
    std::size_t begin;
    std::size_t end;
};

// The pieces of [first, n) under halving of [0, n), claimed in index order.
// They are found one at a time (piece_starting_at), so a batch needs no list
// of pieces and nothing is allocated per call.
struct Batch {
    Batch(PieceBody piece_body, std::size_t n_indices, std::size_t piece_grain, std::size_t first,
          std::size_t piece_total)
        : body(piece_body),
          n(n_indices),
          grain(piece_grain),
          next_begin(first),
          count(piece_total) {}

    PieceBody body;
    std::size_t n;
    std::size_t grain;
    std::size_t next_begin;    // start of the first unclaimed piece; guarded by Pool::mutex
    std::size_t count;         // pieces in the batch
    std::size_t next = 0;      // pieces claimed; guarded by Pool::mutex
    std::size_t finished = 0;  // guarded by Pool::mutex
    // Mirror of `finished` for spinning without the mutex; written under it.
    std::atomic<std::size_t> finished_hint{0};
    std::optional<Error> first_error;
    std::condition_variable all_finished;
};

struct Pool {
    std::mutex mutex;
    std::condition_variable work_available;
    // Batches that still have unclaimed pieces, oldest first.
    std::vector<Batch*> open;
    std::size_t sleeping = 0;  // workers blocked on work_available
    std::size_t worker_count = 0;
};

// Calls emit(piece) for the pieces of [begin, end) halved until every piece
// holds at most `grain` indices, in index order. The recursion depth is the
// logarithm of the piece count.
template <class Emit>
void for_each_piece(std::size_t begin, std::size_t end, std::size_t grain, Emit& emit) {
    if (end - begin <= grain) {
        emit(Piece{begin, end});
        return;
    }
    const std::size_t mid = begin + (end - begin) / 2;
    for_each_piece(begin, mid, grain, emit);
    for_each_piece(mid, end, grain, emit);
}

// The piece of [0, n) that starts at `begin` (which must be a piece start):
// the leaf of the halving that holds `begin`.
Piece piece_starting_at(std::size_t begin, std::size_t n, std::size_t grain) {
    std::size_t lo = 0;
    std::size_t hi = n;
    while (hi - lo > grain) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (begin < mid) {
            hi = mid;
        } else {
            lo = mid;
        }
    }
    return Piece{lo, hi};
}

std::size_t piece_count(std::size_t n, std::size_t grain) {
    std::size_t count = 0;
    auto tally = [&count](Piece) { ++count; };
    for_each_piece(0, n, grain, tally);
    return count;
}

// Any exception becomes an Error. Building a long message may itself run out
// of memory, so every path ends in a literal short enough for the string's
// inline buffer, which cannot allocate.
Error error_from_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            return Error::internal("out of memory");
        } catch (const std::exception& e) {
            return Error::internal(std::string("exception in a parallel task: ") + e.what());
        } catch (...) {
            return Error::internal("unknown exception in a parallel task");
        }
    } catch (...) {
        return Error::internal("out of memory");
    }
}

// 0 outside the pool; set once by each worker thread.
thread_local std::size_t t_worker_index = 0;

Status run_piece(PieceBody body, Piece piece) {
    try {
        return body(t_worker_index, piece.begin, piece.end);
    } catch (...) {
        return error_from_current_exception();
    }
}

Status run_piece(const Batch& batch, Piece piece) { return run_piece(batch.body, piece); }

// Takes the next piece of `batch` (mutex held); unlists the batch when its
// last piece is claimed so workers stop looking at it.
Piece claim(Pool& pool, Batch& batch) {
    const Piece piece = piece_starting_at(batch.next_begin, batch.n, batch.grain);
    batch.next_begin = piece.end;
    if (++batch.next == batch.count) {
        pool.open.erase(std::find(pool.open.begin(), pool.open.end(), &batch));
    }
    return piece;
}

// Records a finished piece (mutex held). The notification is sent while the
// mutex is held: the caller can only observe `finished` under the mutex, so
// the batch on its stack stays alive until this returns.
void finish(Batch& batch, Status&& status) {
    if (!status.ok() && !batch.first_error) batch.first_error = status.take_error();
    batch.finished_hint.store(++batch.finished, std::memory_order_release);
    if (batch.finished == batch.count) batch.all_finished.notify_all();
}

void worker_loop(Pool* pool, std::size_t index) {
    t_worker_index = index;
    std::unique_lock lock(pool->mutex);
    for (;;) {
        if (pool->open.empty()) {
            ++pool->sleeping;
            pool->work_available.wait(lock, [pool] { return !pool->open.empty(); });
            --pool->sleeping;
        }
        Batch& batch = *pool->open.back();
        const Piece piece = claim(*pool, batch);
        lock.unlock();
        Status status = run_piece(batch, piece);
        lock.lock();
        finish(batch, std::move(status));
    }
}

std::mutex g_start_mutex;  // guards g_pool and g_atfork_registered
Pool* g_pool = nullptr;
bool g_atfork_registered = false;

void before_fork() { g_start_mutex.lock(); }
void after_fork_in_parent() { g_start_mutex.unlock(); }
void after_fork_in_child() {
    // The forking thread held the lock in before_fork and is the only thread
    // of the child, so it may release it. The parent's pool is left behind.
    g_pool = nullptr;
    g_start_mutex.unlock();
}

Pool& the_pool() {
    std::lock_guard guard(g_start_mutex);
    if (g_pool != nullptr) return *g_pool;
    if (!g_atfork_registered) {
        g_atfork_registered =
            pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    }
    // Lives until the process ends: its threads never stop, so there is
    // nothing to join and no destructor may run while they wait on it.
    auto* pool = new Pool;
    // Room for more batches open at once than nesting normally reaches, so
    // that publishing a batch allocates nothing.
    pool->open.reserve(64);
    const std::size_t wanted = worker_slots() - 1;
    for (std::size_t i = 0; i < wanted; ++i) {
        try {
            std::thread(worker_loop, pool, i + 1).detach();
            ++pool->worker_count;
        } catch (...) {
            // Fewer workers only means less parallelism: callers always run
            // their own pieces too.
            break;
        }
    }
    g_pool = pool;
    return *pool;
}

// Shortest piece this thread ran in its last batch; zero until it has run
// one, which makes the first batch of a thread wake the workers. The
// shortest, not the mean: on a loaded machine a preempted piece measures the
// other processes, and waking workers then only adds to the contention.
thread_local std::chrono::nanoseconds t_piece_estimate{0};

Status run_batch(Pool& pool, Batch& batch) {
    using Clock = std::chrono::steady_clock;
    const std::size_t count = batch.count;
    std::unique_lock lock(pool.mutex);
    pool.open.push_back(&batch);
    bool woken = false;
    const auto wake_if_worth_it = [&](std::chrono::nanoseconds per_piece) {
        const std::size_t left = count - batch.next;
        if (woken || left == 0 || pool.sleeping == 0) return;
        if (per_piece.count() == 0 || per_piece * left >= kWorthWaking) {
            pool.work_available.notify_all();
            woken = true;
        }
    };
    wake_if_worth_it(t_piece_estimate);
    auto shortest = std::chrono::nanoseconds::max();
    while (batch.next < count) {
        const Piece piece = claim(pool, batch);
        lock.unlock();
        const auto piece_start = Clock::now();
        Status status = run_piece(batch, piece);
        shortest = std::min<std::chrono::nanoseconds>(
            shortest, std::max<std::chrono::nanoseconds>(Clock::now() - piece_start,
                                                         std::chrono::nanoseconds{1}));
        lock.lock();
        finish(batch, std::move(status));
        wake_if_worth_it(shortest);
    }
    if (shortest != std::chrono::nanoseconds::max()) t_piece_estimate = shortest;
    if (batch.finished != batch.count) {
        // Seeing the mirror complete is only a hint: the last finisher may
        // still be inside finish(), touching the batch, until it releases
        // the mutex, so the final check below is always made under it.
        lock.unlock();
        spin_until([&batch] {
            return batch.finished_hint.load(std::memory_order_acquire) == batch.count;
        });
        lock.lock();
    }
    batch.all_finished.wait(lock, [&batch] { return batch.finished == batch.count; });
    if (batch.first_error) return std::move(*batch.first_error);
    return ok_status();
}

// A batch forecast too small to repay waking a worker, while every worker
// sleeps, starts on the caller without being published: no list entry, no
// mutex per piece. Should its first piece turn out slower than forecast
// (making the rest worth a wake-up), the remaining pieces are published as
// a batch of their own from there on. The forecast left behind
// is the mean piece time (a preempted batch only overstates it, which at
// worst wakes the workers once). Pieces, their order and their results are
// those of the published path.
bool worth_running_here(Pool& pool, std::size_t count) {
    if (t_piece_estimate.count() == 0 || t_piece_estimate * count >= kWorthWaking) return false;
    std::lock_guard lock(pool.mutex);
    return pool.sleeping == pool.worker_count && pool.open.empty();
}

Status run_here(Pool& pool, PieceBody body, std::size_t n, std::size_t grain, std::size_t count) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    std::optional<Error> first_error;
    const auto record = [&first_error](Status&& status) {
        if (!status.ok() && !first_error) first_error = status.take_error();
    };
    // The first piece tells whether the forecast holds (the pieces of one
    // batch are alike); the clock is read once more at the end.
    const Piece first = piece_starting_at(0, n, grain);
    record(run_piece(body, first));
    bool hand_off = false;
    if (count > 1) {
        const auto first_piece =
            std::max<std::chrono::nanoseconds>(Clock::now() - start, std::chrono::nanoseconds{1});
        t_piece_estimate = first_piece;
        hand_off = first_piece * (count - 1) >= kWorthWaking;
    }
    if (hand_off) {
        Batch rest(body, n, grain, first.end, count - 1);
        record(run_batch(pool, rest));
    } else {
        for (std::size_t begin = first.end; begin < n;) {
            const Piece piece = piece_starting_at(begin, n, grain);
            record(run_piece(body, piece));
            begin = piece.end;
        }
        t_piece_estimate = std::max<std::chrono::nanoseconds>(
            (Clock::now() - start) / static_cast<std::int64_t>(count), std::chrono::nanoseconds{1});
    }
    if (first_error) return std::move(*first_error);
    return ok_status();
}

}  // namespace

namespace {
std::atomic<std::uint64_t> g_pool_calls{0};
}  // namespace

std::uint64_t pool_calls() { return g_pool_calls.load(std::memory_order_relaxed); }

Status parallel_for(std::size_t n, std::size_t grain, PieceBody body) {
    if (n == 0) return ok_status();
    grain = std::max<std::size_t>(grain, 1);
    try {
        // A single piece gains nothing from the pool; it runs here without
        // starting the workers.
        if (n <= grain) return run_piece(body, {0, n});
        Pool& pool = the_pool();
        g_pool_calls.fetch_add(1, std::memory_order_relaxed);
        const std::size_t count = piece_count(n, grain);
        if (worth_running_here(pool, count)) return run_here(pool, body, n, grain, count);
        Batch batch(body, n, grain, 0, count);
        return run_batch(pool, batch);
    } catch (...) {
        // Only allocation or thread start-up can land here, before any piece
        // of this call has been handed to a worker.
        return error_from_current_exception();
    }
}

Status parallel_for(std::size_t n, std::size_t grain,
                    const std::function<Status(std::size_t begin, std::size_t end)>& body) {
    return parallel_for(n, grain, [&body](std::size_t, std::size_t begin, std::size_t end) {
        return body(begin, end);
    });
}

std::size_t worker_slots() {
    static const std::size_t slots = 1 + std::max(1u, std::thread::hardware_concurrency());
    return slots;
}

std::size_t this_worker() { return t_worker_index; }

std::size_t pool_size() {
    try {
        return the_pool().worker_count;
    } catch (...) {
        return 0;
    }
}

}  // namespace korvane
