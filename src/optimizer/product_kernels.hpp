// The optimizer's matrix products as a table of kernels, one table per
// instruction set (products_loops.hpp instantiates it; products() gives the
// one this process takes). Every output is a sum in one fixed order
// (ascending index of the summed dimension), so that the portable, AVX2 and
// AVX-512 builds of these loops, which vectorise across independent outputs
// only, give the same bits. Matrices are row-major doubles.
#pragma once

#include <cstddef>

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

}  // namespace zorv::optimizer
