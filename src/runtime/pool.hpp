#pragma once
// The process-wide worker pool: one worker per logical processor, started on
// first use, restarted in a child after fork(). Work is split by recursive
// halving into pieces; each piece writes only its own slots, so results never
// depend on the number of workers.

#include <cstddef>
#include <functional>

#include "runtime/result.hpp"

namespace korvane {

// Runs body(begin, end) over [0, n), split by recursive halving into pieces of
// at most `grain` indices, on the pool and the calling thread together. Blocks
// until every piece has run. A piece that returns an error or throws makes the
// whole call return an error (the first one recorded); the other pieces still
// finish, so no task outlives the call. Exceptions thrown by a piece arrive
// as ErrorKind::Internal. Safe to call from several threads at once and from
// inside a piece: a waiting caller runs its own pieces rather than sleeping.
Status parallel_for(std::size_t n, std::size_t grain,
                    const std::function<Status(std::size_t begin, std::size_t end)>& body);

// Number of worker threads the pool runs (starts the pool).
std::size_t pool_size();

}  // namespace korvane
