#include "optimizer/split.hpp"

#include <algorithm>
#include <memory>

#include "pool/pool_once.hpp"

namespace zorv::optimizer {

Split Split::for_size(std::size_t size, std::size_t smallest) {
    if (size < smallest) return none();
    pool::WorkerPool* workers = pool::global_pool_if_built();
    if (workers == nullptr || workers->thread_count() < 2) return none();
    // A piece per worker, but none much smaller than the threshold itself.
    return Split(workers, std::min(workers->thread_count(), size * 2 / smallest));
}

double* Split::kept_memory(std::size_t doubles) {
    // Initial-exec, as the worker pool's (see there): no allocation on first use.
    [[gnu::tls_model("initial-exec")]] thread_local std::unique_ptr<double[]> kept;
    [[gnu::tls_model("initial-exec")]] thread_local std::size_t kept_size = 0;
    if (kept_size < doubles) {
        kept.reset();  // before the new one: never both at once
        kept = std::make_unique_for_overwrite<double[]>(doubles);
        kept_size = doubles;
    }
    return kept.get();
}

std::pair<std::size_t, std::size_t> Split::rows_of(std::size_t p, std::size_t rows) const {
    constexpr std::size_t group = 8;
    const std::size_t groups = (rows + group - 1) / group;
    const auto start = [&](std::size_t q) { return std::min(rows, q * groups / pieces_ * group); };
    return {start(p), start(p + 1)};
}

}  // namespace zorv::optimizer
