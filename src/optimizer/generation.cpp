#include "optimizer/generation.hpp"

#include <algorithm>

#include "optimizer/products.hpp"

namespace zorv::optimizer {

void sample_population(Xoshiro256& generator, const double* bd, const double* mean,
                       double sigma, const Population& out, std::size_t n, double* work) {
    fill_normals(generator, out.z, out.rows * n);
    products().shape(out.z, bd, out.y, out.rows, n, reinterpret_cast<double (*)[8]>(work));
    for (std::size_t k = 0; k < out.rows; ++k)
        for (std::size_t i = 0; i < n; ++i) out.x[k * n + i] = mean[i] + sigma * out.y[k * n + i];
}

std::size_t covariance_step_work(std::size_t rows, std::size_t n) {
    return n * n + rows + std::max(rows * n + rows * ((n + 7) / 8 * 8), 16 * n);
}

void update_covariance(double* c, const CovarianceStep& step, std::size_t n, double* work) {
    double* outer = work;
    double* weights = outer + n * n;
    double* scaled = weights + step.rows;
    products().row_dots(step.z, step.z, weights, step.rows, n,
                        reinterpret_cast<double (*)[8]>(scaled));
    for (std::size_t k = 0; k < step.rows; ++k) {
        const double wk = step.w[k];
        weights[k] = wk < 0.0 ? wk * static_cast<double>(n) / weights[k] : wk;
    }
    products().weighted_outer_sum(weights, step.y, outer, step.rows, n, scaled,
                                  scaled + step.rows * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i; j < n; ++j) {
            const double rank_one = step.c1 * (step.pc[i] * step.pc[j]);
            const double updated = (step.keep * c[i * n + j] + rank_one) + step.cmu * outer[i * n + j];
            c[i * n + j] = updated;
            c[j * n + i] = updated;
        }
}

}  // namespace zorv::optimizer
