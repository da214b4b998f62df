#include "optimizer/products.hpp"

#include <algorithm>
#include <memory>

#include "dispatch/instruction_sets.hpp"
#include "optimizer/build.hpp"

namespace zorv::optimizer {

const Products& products() { return dispatch::this_process_instruction_set().optimizer->products; }

void row_dots(const Products& kernels, const double* x, const double* y, double* out,
              std::size_t rows, std::size_t n, const Split& split) {
    const std::size_t doubles = row_dots_work(n);  // each piece's own
    const auto work = std::make_unique_for_overwrite<double[]>(split.pieces() * doubles);
    split.run([&](std::size_t p) {
        const auto [first, end] = split.rows_of(p, rows);
        if (first == end) return;
        kernels.row_dots(x + first * n, y + first * n, out + first, end - first, n,
                         reinterpret_cast<double (*)[8]>(work.get() + p * doubles));
    });
}

std::size_t outer_sum_first_row(std::size_t p, std::size_t pieces, std::size_t n) {
    // In groups of four rows, which the kernel computes together (a row on
    // its own reads as much as four).
    const std::size_t blocks = (n + 7) / 8;
    const auto cost = [&](std::size_t i) { return blocks - i / 8; };
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; i += 4) total += cost(i);
    const std::size_t wanted = total * p / pieces;
    std::size_t i = 0;
    // Up to the group boundary nearest to the wanted share.
    for (std::size_t before = 0; i < n && 2 * before + cost(i) <= 2 * wanted; i += 4) before += cost(i);
    return std::min(i, n);
}

void weighted_outer_sum(const Products& kernels, const double* w, const double* y, double* sum,
                        std::size_t rows, std::size_t n, double* work, const Split& split) {
    split.run([&](std::size_t p) {
        kernels.outer_sum_rows(w, y, sum, rows, n, outer_sum_first_row(p, split.pieces(), n),
                               outer_sum_first_row(p + 1, split.pieces(), n),
                               work + p * outer_sum_work(n));
    });
}

}  // namespace zorv::optimizer
