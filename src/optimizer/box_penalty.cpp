#include "optimizer/box_penalty.hpp"

namespace zorv::optimizer {

BoxSums box_sums(const double* points, const double* plans, double* outside, std::size_t rows,
                 std::size_t n, double* centre) {
    bool any_outside = false;
    for (std::size_t k = 0; k < rows; ++k) {
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double away = points[k * n + i] - plans[k * n + i];
            sum = sum + away * away;
        }
        outside[k] = sum;
        any_outside = any_outside || sum != 0.0;
    }
    if (!any_outside) return {0.0, 0.0};
    const double share = 1.0 / static_cast<double>(rows);
    for (std::size_t i = 0; i < n; ++i) centre[i] = 0.0;
    double squares = 0.0;
    for (std::size_t k = 0; k < rows; ++k) {
        double row_square = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double p = points[k * n + i];
            centre[i] = centre[i] + share * p;
            row_square = row_square + p * p;
        }
        squares = squares + row_square;
    }
    double centre_square = 0.0;
    for (std::size_t i = 0; i < n; ++i) centre_square = centre_square + centre[i] * centre[i];
    return {squares, centre_square};
}

}  // namespace zorv::optimizer
