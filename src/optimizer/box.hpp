// Keeping the optimizer's points in the plans' box [-1, 1]: the smooth map
// into it, and the penalty on points outside it (every sum in index order).
#pragma once

#include <cstddef>

#include "optimizer/split.hpp"

namespace zorv::optimizer {

struct BoxSums {
    bool any_outside;      // whether any outside[k] is not zero
    double squares;        // sum over rows k of |points[k]|^2
    double centre_square;  // |centre|^2, centre[i] = sum_k (1 / rows) points[k][i]
};

// outside[k] = |points[k] - plans[k]|^2 for each of `rows` rows of n; when
// any is not zero, also the sums that measure the points' spread (zero
// otherwise). `work` holds box_sums_work(rows, n, split) doubles. The rows'
// own sums (|points[k] - plans[k]|^2 and |points[k]|^2) are split by groups
// of rows, in one pass; the sums over rows run in row order on the calling
// thread.
std::size_t box_sums_work(std::size_t rows, std::size_t n, const Split& split);
BoxSums box_sums(const double* points, const double* plans, double* outside, std::size_t rows,
                 std::size_t n, double* work, const Split& split = Split::none());

// What the optimizer minimises for the points of a generation, whose plans
// are the points clamped into the box: values[k] = -distances[k] +
// penalty[k], penalty[k] = weight * outside[k] (box_sums's), with the weight
// that makes the distances' interquartile range worth as much as a step of
// the points' spread, the coordinates' mean variance:
//   weight = 2 max(q3 - q1, 1e-12) / max(squares / (rows n) - centre_square / n, 1e-300),
// q1 and q3 the distances at rows / 4 and 3 rows / 4 in ascending order (NaN
// last), each max keeping its first operand unless the second is larger.
// With no point outside, penalty[k] = outside[k] (zero). `work` holds
// penalised_values_work(rows, n, split) doubles; the sums are split as
// box_sums's.
ZORV_SHARED_API std::size_t penalised_values_work(std::size_t rows, std::size_t n,
                                                  const Split& split);
ZORV_SHARED_API void penalised_values(const double* points, const double* plans,
                                      const double* distances, double* values, std::size_t rows,
                                      std::size_t n, double* work,
                                      const Split& split = Split::none());

// out[k] = points[k] clamped into [-1, 1]; NaN stays NaN (as NumPy's maximum
// and minimum give it).
void clip_to_box(const double* points, double* out, std::size_t count);
// The same, in pieces of `split`.
ZORV_SHARED_API void clip_to_box(const double* points, double* out, std::size_t count,
                                 const Split& split);

// out[k] = points[k] mapped into [-1, 1]: unchanged within 0.9 of 0, bent
// onto the bound within 0.1 of it (value and slope continuous), and folded
// back periodically beyond, so that nearby points stay nearby: into [-1, 1]
// for every finite value. NaN and the infinities become NaN.
ZORV_SHARED_API void into_box(const double* points, double* out, std::size_t count);

}  // namespace zorv::optimizer
