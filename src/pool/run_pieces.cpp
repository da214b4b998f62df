#include "pool/run_pieces.hpp"

namespace zorv::pool {

namespace {

struct Pieces {
    WorkerPool& pool;
    void (*piece)(void*, std::size_t);
    void* context;
};

// Pieces first..end, split in halves down to single pieces.
void run_piece_range(const Pieces& pieces, std::size_t first, std::size_t end) {
    if (end - first == 1) {
        pieces.piece(pieces.context, first);
        return;
    }
    const std::size_t middle = first + (end - first) / 2;
    pieces.pool.join([&](bool) { run_piece_range(pieces, first, middle); },
                     [&](bool) { run_piece_range(pieces, middle, end); });
}

}  // namespace

void run_pieces(WorkerPool& pool, std::size_t pieces, void (*piece)(void*, std::size_t), void* context) {
    if (pieces == 0) return;
    const Pieces all{pool, piece, context};
    if (pieces == 1 || !pool.has_own_threads() || pool.calling_thread_is_own_worker()) {
        run_piece_range(all, 0, pieces);
        return;
    }
    pool.run_beside_caller([&] { piece(context, 0); }, [&](bool) { run_piece_range(all, 1, pieces); });
}

}  // namespace zorv::pool
