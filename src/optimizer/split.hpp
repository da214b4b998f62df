// Spreading the optimizer's array work over the process's worker pool, the
// one that sim_batch scores on. Work is cut by its outputs alone: every
// output is computed by one piece, with the same operations in the same
// order as unsplit, so which thread runs a piece, and how many pieces there
// are, never changes a bit.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "pool/run_pieces.hpp"
#include "pool/worker_pool.hpp"
#include "support/shared_api.hpp"

namespace zorv::optimizer {

class Split {
public:
    // Work on arrays of fewer doubles than this stays on the calling thread:
    // handing it to a worker and waiting for it costs about what it saves.
    // On two cores at 40 dimensions (bench/optimizer_threads.py) the search
    // loop with a near-free scorer ran as fast on two threads as on one at
    // 256 rows, 1.1 times as fast at 512 and 1.25 to 1.3 times from 1,024
    // rows on; the rest of a generation (the ranking, the eigenvectors, the
    // Python around the calls) stays serial. More cores gain more.
    static constexpr std::size_t smallest_split = 512 * 40;
    // Drawing a population costs more per double (a normal deviate, and a
    // row's worth of the shaping for each value), and reads nothing that
    // another piece writes: it pays from smaller populations on.
    static constexpr std::size_t smallest_sampling_split = 128 * 40;

    // For work on arrays of `size` doubles: one piece per worker of the
    // process's pool, or a single piece on the calling thread below
    // `smallest`, with one worker, or where no pool is running.
    ZORV_SHARED_API static Split for_size(std::size_t size,
                                          std::size_t smallest = smallest_split);
    // Everything on the calling thread.
    static Split none() { return Split(nullptr, 1); }
    // `pieces` pieces on `pool`; on the calling thread when pool is null.
    Split(pool::WorkerPool* pool, std::size_t pieces)
        : pool_(pool), pieces_(pool == nullptr || pieces == 0 ? 1 : pieces) {}

    std::size_t pieces() const { return pieces_; }
    // The same pool, with no more than `most` pieces.
    Split at_most(std::size_t most) const { return Split(pool_, pieces_ < most ? pieces_ : most); }

    // The rows [first, end) of piece p of `rows`, in whole groups of eight
    // rows (the lanes of the products), as even as groups allow.
    std::pair<std::size_t, std::size_t> rows_of(std::size_t p, std::size_t rows) const;

    // Runs piece(p) for every p < pieces(), spread over the pool, and
    // returns when all are done.
    template <class Piece>
    void run(Piece&& piece) const {
        if (pieces_ == 1) {
            piece(std::size_t{0});
            return;
        }
        using Plain = std::remove_reference_t<Piece>;
        pool::run_pieces(
            *pool_, pieces_, [](void* context, std::size_t p) { (*static_cast<Plain*>(context))(p); },
            const_cast<void*>(static_cast<const void*>(&piece)));
    }

    // Working memory of at least `doubles` doubles for the calling thread,
    // kept for its next call instead of freed: a population's worth, freed
    // and taken again every generation, costs the system's page faults on
    // every first touch, more than some of the work done in it. One user at
    // a time: the next call may move it.
    ZORV_SHARED_API static double* kept_memory(std::size_t doubles);

private:
    pool::WorkerPool* pool_;
    std::size_t pieces_;
};

}  // namespace zorv::optimizer
