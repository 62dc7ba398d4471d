#pragma once
// The process-wide worker pool: one worker per logical processor, started on
// first use, restarted in a child after fork(). Work is split by recursive
// halving into pieces; each piece writes only its own slots, so results never
// depend on the number of workers.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "runtime/function_ref.hpp"
#include "runtime/result.hpp"

namespace korvane {

// body(worker, begin, end): `worker` names the thread running the piece, so a
// piece can use per-worker scratch without locking: 0 on any thread outside
// the pool, 1 + k on the pool's worker k (see worker_slots). Two pieces that
// run at the same time never share an index; pieces of one call that run on
// the same thread do, one after the other.
using PieceBody = FunctionRef<Status(std::size_t worker, std::size_t begin, std::size_t end)>;

// Runs body over [0, n), split by recursive halving into pieces of at most
// `grain` indices, on the pool and the calling thread together. Blocks until
// every piece has run. A piece that returns an error or throws makes the
// whole call return an error (the first one recorded); the other pieces still
// finish, so no task outlives the call. Exceptions thrown by a piece arrive
// as ErrorKind::Internal. Safe to call from several threads at once and from
// inside a piece: a waiting caller runs its own pieces rather than sleeping.
// Allocates nothing once the pool has started.
Status parallel_for(std::size_t n, std::size_t grain, PieceBody body);

// The same for a body that does not need the worker index.
Status parallel_for(std::size_t n, std::size_t grain,
                    const std::function<Status(std::size_t begin, std::size_t end)>& body);

// Number of worker threads the pool runs (starts the pool).
std::size_t pool_size();

// One more than the largest worker index a body can be handed: the size of a
// per-worker table. Fixed for the life of the process; does not start the
// pool.
std::size_t worker_slots();

// The worker index of the calling thread, as a body would be handed it.
std::size_t this_worker();

// How many parallel_for calls the pool has served since the process started:
// a diagnostic that tells whether two modules in one process share one pool.
std::uint64_t pool_calls();

}  // namespace korvane
