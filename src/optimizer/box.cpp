#include "optimizer/box.hpp"

#include <cmath>

#include "optimizer/products.hpp"
#include "optimizer/ranking.hpp"

namespace zorv::optimizer {

namespace {

// The box that the model clamps plan values into, and the width of the
// bend at each of its bounds.
constexpr double lower = -1.0;
constexpr double upper = 1.0;
constexpr double bend = 0.1;

// For rows of n, each sum in index order: outside[k] = |points[k] -
// plans[k]|^2 and squares[k] = |points[k]|^2. `work` holds rows * n +
// row_dots_work(n) doubles.
void row_sums(const Products& kernels, const double* points, const double* plans,
              double* outside, double* squares, std::size_t rows, std::size_t n, double* work) {
    double* const away = work;
    double(*lanes)[8] = reinterpret_cast<double (*)[8]>(away + rows * n);
    for (std::size_t k = 0; k < rows * n; ++k) away[k] = points[k] - plans[k];
    kernels.row_dots(away, away, outside, rows, n, lanes);
    kernels.row_dots(points, points, squares, rows, n, lanes);
}

}  // namespace

std::size_t box_sums_work(std::size_t rows, std::size_t n, const Split& split) {
    return 2 * rows + n + rows * n + split.pieces() * row_dots_work(n);
}

BoxSums box_sums(const double* points, const double* plans, double* outside, std::size_t rows,
                 std::size_t n, double* work, const Split& split) {
    double* const squares = work;
    double* const shares = squares + rows;
    double* const centre = shares + rows;
    double* const pieces_work = centre + n;
    const Products& kernels = products();
    split.run([&](std::size_t p) {
        const auto [first, end] = split.rows_of(p, rows);
        // Piece p's rows, and its lanes after them: apart from every other piece's.
        row_sums(kernels, points + first * n, plans + first * n, outside + first, squares + first,
                 end - first, n, pieces_work + first * n + p * row_dots_work(n));
    });
    bool any_outside = false;
    for (std::size_t k = 0; k < rows; ++k) any_outside = any_outside || outside[k] != 0.0;
    if (!any_outside) return {false, 0.0, 0.0};

    double squares_sum = 0.0;
    for (std::size_t k = 0; k < rows; ++k) squares_sum = squares_sum + squares[k];
    for (std::size_t k = 0; k < rows; ++k) shares[k] = 1.0 / static_cast<double>(rows);
    kernels.combine(shares, points, centre, rows, n);
    double centre_square = 0.0;
    for (std::size_t i = 0; i < n; ++i) centre_square = centre_square + centre[i] * centre[i];
    return {true, squares_sum, centre_square};
}

std::size_t penalised_values_work(std::size_t rows, std::size_t n, const Split& split) {
    return rows + box_sums_work(rows, n, split);
}

void penalised_values(const double* points, const double* plans, const double* distances,
                      double* values, std::size_t rows, std::size_t n, double* work,
                      const Split& split) {
    double* const outside = work;
    const BoxSums sums = box_sums(points, plans, outside, rows, n, outside + rows, split);
    if (!sums.any_outside) {
        for (std::size_t k = 0; k < rows; ++k) values[k] = -distances[k] + outside[k];
        return;
    }
    // The quartiles alone, as sorting the distances and reading their places
    // gives them (NaN last, as NumPy sorts; a zero's sign, which only the
    // floor below can meet, does not matter).
    const auto [lower_quartile, upper_quartile] =
        values_at_places(distances, rows, rows / 4, 3 * rows / 4);
    const double quartile_range = upper_quartile - lower_quartile;
    const double spread = sums.squares / static_cast<double>(rows * n) -
                          sums.centre_square / static_cast<double>(n);
    const double weight = (2.0 * (1e-12 > quartile_range ? 1e-12 : quartile_range)) /
                          (1e-300 > spread ? 1e-300 : spread);
    for (std::size_t k = 0; k < rows; ++k) values[k] = -distances[k] + weight * outside[k];
}

void clip_to_box(const double* points, double* out, std::size_t count) {
    // The products' selects, not std::clamp or fmax: a NaN passes.
    products().clamp(points, out, count, lower, upper);
}

void clip_to_box(const double* points, double* out, std::size_t count, const Split& split) {
    split.run([&](std::size_t p) {
        const std::size_t first = count * p / split.pieces();
        const std::size_t end = count * (p + 1) / split.pieces();
        clip_to_box(points + first, out + first, end - first);
    });
}

void into_box(const double* points, double* out, std::size_t count) {
    const double low = lower - bend, high = upper + bend;  // the stretch that folds onto the box
    const double span = high - low;
    const double period = 2 * span;
    for (std::size_t k = 0; k < count; ++k) {
        const double x = points[k];
        if (!(std::fabs(x) > upper - bend)) {
            out[k] = x;
            continue;
        }
        double folded = x - low;
        folded = folded - std::floor(folded / period) * period;  // into [0, period)
        // Far from the box the product above rounds by more than a period
        // (from about 1e15 on), and the remainder lands anywhere, also far
        // outside: there std::fmod's remainder, which is exact, takes its
        // place. Nearer, the remainder errs by a few units in the last
        // place at most, and keeps its bits.
        if (!(folded >= -bend && folded <= period + bend)) {
            folded = std::fmod(x - low, period);
            if (folded < 0.0) folded = folded + period;
        }
        folded = (folded > span ? period - folded : folded) + low;  // mirrored onto [low, high]
        if (folded < lower + bend) folded = lower + (folded - low) * (folded - low) / (4 * bend);
        if (folded > upper - bend) folded = upper - (folded - high) * (folded - high) / (4 * bend);
        out[k] = folded;
    }
}

}  // namespace zorv::optimizer
