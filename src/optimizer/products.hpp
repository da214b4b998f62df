// The optimizer's products as this process computes them: the kernels of the
// build it takes (product_kernels.hpp), and the products that split over the
// worker pool, each output computed as the unsplit product computes it.
#pragma once

#include <cstddef>

#include "optimizer/product_kernels.hpp"
#include "optimizer/split.hpp"
#include "support/shared_api.hpp"

namespace zorv::optimizer {

// The kernels of the optimizer's build that this process takes: the row of
// src/dispatch/instruction_sets.hpp that its scores take too, read on first
// use (the widest that the CPU and the system support, unless
// ZORV_FAST_NO_SIMD or ZORV_FAST_NO_AVX512 is set).
ZORV_SHARED_API const Products& products();

// Products spread over a split's pieces, each output computed as the
// unsplit product computes it: row_dots by groups of eight rows, with
// working memory of its own, weighted_outer_sum by rows of the sum. The
// shaping is split with the drawing of the samples (sample_population).
void row_dots(const Products& kernels, const double* x, const double* y, double* out,
              std::size_t rows, std::size_t n, const Split& split);
// `work` holds split.pieces() * outer_sum_work(n) doubles.
void weighted_outer_sum(const Products& kernels, const double* w, const double* y, double* sum,
                        std::size_t rows, std::size_t n, double* work, const Split& split);
// The first output row of each piece of the sum's n rows (p <= pieces), a
// multiple of four: row i costs one block of lanes for each block that
// reaches it, so that early rows cost more, and the pieces are cut to even
// costs.
std::size_t outer_sum_first_row(std::size_t p, std::size_t pieces, std::size_t n);

}  // namespace zorv::optimizer
