#include "optimizer/box_penalty.hpp"

#include "optimizer/products.hpp"

namespace zorv::optimizer {

std::size_t box_sums_work(std::size_t rows, std::size_t n) { return rows * n + 2 * rows + 17 * n; }

BoxSums box_sums(const double* points, const double* plans, double* outside, std::size_t rows,
                 std::size_t n, double* work) {
    double* away = work;
    double* per_row = away + rows * n;
    double* centre = per_row + rows;
    double (*lanes)[8] = reinterpret_cast<double (*)[8]>(centre + n);
    const Products& kernels = products();
    for (std::size_t k = 0; k < rows * n; ++k) away[k] = points[k] - plans[k];
    kernels.row_dots(away, away, outside, rows, n, lanes);
    bool any_outside = false;
    for (std::size_t k = 0; k < rows; ++k) any_outside = any_outside || outside[k] != 0.0;
    if (!any_outside) return {0.0, 0.0};

    kernels.row_dots(points, points, per_row, rows, n, lanes);
    double squares = 0.0;
    for (std::size_t k = 0; k < rows; ++k) squares = squares + per_row[k];
    double* shares = per_row;  // the row sums are spent
    for (std::size_t k = 0; k < rows; ++k) shares[k] = 1.0 / static_cast<double>(rows);
    kernels.combine(shares, points, centre, rows, n);
    double centre_square = 0.0;
    for (std::size_t i = 0; i < n; ++i) centre_square = centre_square + centre[i] * centre[i];
    return {squares, centre_square};
}

}  // namespace zorv::optimizer
