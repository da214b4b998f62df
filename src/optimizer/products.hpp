// The optimizer's matrix products. Every output is a sum in one fixed order
// (ascending index of the summed dimension), so that the portable, AVX2 and
// AVX-512 builds of these loops, which vectorise across independent outputs
// only, give the same bits. Matrices are row-major doubles.
#pragma once

#include <cstddef>

#include "optimizer/split.hpp"

namespace zorv::optimizer {

struct Products {
    // out[k][i] = sum_j z[k][j] * a[i][j], k < rows, i, j < n (a is n x n);
    // `work` holds shape_work(n) doubles.
    void (*shape)(const double* z, const double* a, double* out, std::size_t rows,
                  std::size_t n, double (*work)[8]);
    // out[i] = sum_k w[k] * x[k][i], k < rows, i < n.
    void (*combine)(const double* w, const double* x, double* out, std::size_t rows,
                    std::size_t n);
    // sum[i][j] = sum_k w[k] * y[k][i] * y[k][j] (as (w[k] * y[k][i]) * y[k][j]),
    // for j >= i only; n x n, the rest untouched. `work` holds
    // outer_sum_work(n) doubles.
    void (*weighted_outer_sum)(const double* w, const double* y, double* sum, std::size_t rows,
                               std::size_t n, double* work);
    // Only the sum's rows i_begin..i_end, so that it can be split.
    void (*outer_sum_rows)(const double* w, const double* y, double* sum, std::size_t rows,
                           std::size_t n, std::size_t i_begin, std::size_t i_end, double* work);
    // out[k] = sum_i x[k][i] * y[k][i], k < rows, i < n; `work` holds
    // row_dots_work(n) doubles. (Eight rows at once: a sum in order is a chain of
    // dependent additions, which one row alone would wait on.)
    void (*row_dots)(const double* x, const double* y, double* out, std::size_t rows,
                     std::size_t n, double (*work)[8]);
    // The plane rotation of two rows: for i < n, x[i] = c * x[i] - s * y[i]
    // and y[i] = s * x[i] + c * y[i], both from the old values.
    void (*rotate)(double* x, double* y, std::size_t n, double c, double s);
    // out[k] = x[k] < low ? low : x[k], then that > high ? high : it: NaN
    // compares false and passes.
    void (*clamp)(const double* x, double* out, std::size_t count, double low, double high);
};

// The kernels' working memory, in doubles: a group of rows as columns of
// eight lanes (two such for the row dots).
constexpr std::size_t shape_work(std::size_t n) { return 8 * n; }
constexpr std::size_t row_dots_work(std::size_t n) { return 16 * n; }

// Rows of y that the outer sum takes at a time, and the working memory that
// it needs for them.
constexpr std::size_t outer_sum_rows_per_chunk = 64;
constexpr std::size_t outer_sum_work(std::size_t n) {
    return outer_sum_rows_per_chunk * (n + (n + 7) / 8 * 8);
}

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

enum class ProductsBuild { portable, avx2, avx512 };

// The build this process uses: the widest that the CPU and the system
// support, unless ZORV_FAST_NO_SIMD (portable) or ZORV_FAST_NO_AVX512 (at
// most AVX2) is set to anything non-empty; decided on first use.
ZORV_SHARED_API ProductsBuild products_build();
ZORV_SHARED_API const Products& products();
ZORV_SHARED_API const char* products_build_name(ProductsBuild build);

namespace builds {
extern const Products portable;
extern const Products avx2;
extern const Products avx512;
}  // namespace builds

}  // namespace zorv::optimizer
