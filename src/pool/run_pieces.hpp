// Work cut into pieces, run on the pool beside the calling thread.
#pragma once

#include <cstddef>

#include "pool/worker_pool.hpp"

namespace zorv::pool {

// Runs piece(context, p) once for every p < pieces on `pool`, as a tree of
// joins, and returns when all have run; rethrows what a piece threw. Called
// from outside the pool, the calling thread runs piece 0 itself and the
// workers the rest: pieces of a fraction of a millisecond, a few in a row,
// would otherwise each cost the caller a sleep and a wake-up, as long as a
// piece. It then watches, awake, for the others to end.
void run_pieces(WorkerPool& pool, std::size_t pieces, void (*piece)(void* context, std::size_t p),
                void* context);

}  // namespace zorv::pool
