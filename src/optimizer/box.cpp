#include "optimizer/box.hpp"

#include <cmath>

#include "optimizer/products.hpp"

namespace zorv::optimizer {

namespace {

// The box that the model clamps plan values into, and the width of the
// bend at each of its bounds.
constexpr double lower = -1.0;
constexpr double upper = 1.0;
constexpr double bend = 0.1;

}  // namespace

std::size_t box_sums_work(std::size_t rows, std::size_t n) { return rows * n + 2 * rows + n; }

BoxSums box_sums(const double* points, const double* plans, double* outside, std::size_t rows,
                 std::size_t n, double* work, const Split& split) {
    double* away = work;
    double* per_row = away + rows * n;
    double* centre = per_row + rows;
    const Products& kernels = products();
    split.run([&](std::size_t p) {
        const auto [first, end] = split.rows_of(p, rows);
        for (std::size_t k = first * n; k < end * n; ++k) away[k] = points[k] - plans[k];
    });
    row_dots(kernels, away, away, outside, rows, n, split);
    bool any_outside = false;
    for (std::size_t k = 0; k < rows; ++k) any_outside = any_outside || outside[k] != 0.0;
    if (!any_outside) return {0.0, 0.0};

    row_dots(kernels, points, points, per_row, rows, n, split);
    double squares = 0.0;
    for (std::size_t k = 0; k < rows; ++k) squares = squares + per_row[k];
    double* shares = per_row;  // the row sums are spent
    for (std::size_t k = 0; k < rows; ++k) shares[k] = 1.0 / static_cast<double>(rows);
    kernels.combine(shares, points, centre, rows, n);
    double centre_square = 0.0;
    for (std::size_t i = 0; i < n; ++i) centre_square = centre_square + centre[i] * centre[i];
    return {squares, centre_square};
}

void clip_to_box(const double* points, double* out, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        // Selects, not std::clamp or fmax: a NaN compares false and passes.
        const double x = points[k];
        const double above_lower = x < lower ? lower : x;
        out[k] = above_lower > upper ? upper : above_lower;
    }
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
