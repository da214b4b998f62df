#include "optimizer/generation.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "optimizer/products.hpp"

namespace zorv::optimizer {

void sample_population(Xoshiro256& generator, const double* bd, const double* mean,
                       double sigma, const Population& out, std::size_t n, const Split& split) {
    fill_normals(generator, out.z, out.rows * n, split);
    const std::unique_ptr<double[]> work = std::make_unique_for_overwrite<double[]>(split.pieces() * 8 * n);
    const Products& kernels = products();
    split.run([&](std::size_t p) {
        const auto [first, end] = split.rows_of(p, out.rows);
        if (first == end) return;
        kernels.shape(out.z + first * n, bd, out.y + first * n, end - first, n,
                      reinterpret_cast<double (*)[8]>(work.get() + p * 8 * n));
        for (std::size_t k = first; k < end; ++k)
            for (std::size_t i = 0; i < n; ++i) out.x[k * n + i] = mean[i] + sigma * out.y[k * n + i];
    });
}

std::size_t covariance_step_work(std::size_t rows, std::size_t n) {
    return n * n + rows + std::max(rows * n + rows * ((n + 7) / 8 * 8), 16 * n);
}

void update_covariance(double* c, const CovarianceStep& step, std::size_t n, double* work,
                       const Split& split) {
    double* outer = work;
    double* weights = outer + n * n;
    double* scaled = weights + step.rows;
    const Products& kernels = products();
    row_dots(kernels, step.z, step.z, weights, step.rows, n, split);
    for (std::size_t k = 0; k < step.rows; ++k) {
        const double wk = step.w[k];
        weights[k] = wk < 0.0 ? wk * static_cast<double>(n) / weights[k] : wk;
    }
    weighted_outer_sum(kernels, weights, step.y, outer, step.rows, n, scaled,
                       scaled + step.rows * n, split);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i; j < n; ++j) {
            const double rank_one = step.c1 * (step.pc[i] * step.pc[j]);
            const double updated = (step.keep * c[i * n + j] + rank_one) + step.cmu * outer[i * n + j];
            c[i * n + j] = updated;
            c[j * n + i] = updated;
        }
}

namespace {

// Each row's weight, by its rank.
void weights_by_row(const RankedPopulation& ranked, double* w) {
    for (std::size_t r = 0; r < ranked.rows; ++r) w[ranked.order[r]] = ranked.weights[r];
}

// The weighted mean of the better rows' samples, in rank order.
void mean_of_better(const RankedPopulation& ranked, double* z_mean, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) z_mean[i] = 0.0;
    for (std::size_t r = 0; r < ranked.better; ++r) {
        const double wr = ranked.weights[r];
        const double* zr = ranked.z + ranked.order[r] * n;
        for (std::size_t i = 0; i < n; ++i) z_mean[i] = z_mean[i] + wr * zr[i];
    }
}

// a v, each sum in index order (the one-row case of the shaping product).
void times(const double* a, const double* v, double* out, std::size_t n, double* work) {
    products().shape(v, a, out, 1, n, reinterpret_cast<double (*)[8]>(work));
}

double length(const double* v, std::size_t n) {
    double square = 0.0;
    for (std::size_t i = 0; i < n; ++i) square = square + v[i] * v[i];
    return std::sqrt(square);
}

}  // namespace

std::size_t distribution_step_work(std::size_t rows, std::size_t n) {
    // The shaping and the covariance step use the same rest in turn.
    return 3 * n + rows + std::max(8 * n, covariance_step_work(rows, n));
}

double update_distribution(const Rates& rates, const RankedPopulation& ranked, const double* bd,
                           const double* b, double sigma, double ps_bias,
                           const Distribution& from, const Distribution& to, std::size_t n,
                           double* work, const Split& split) {
    double* z_mean = work;
    double* y_mean = z_mean + n;  // bd z_mean: the mean's step, in plan space
    double* whitened = y_mean + n;  // b z_mean = C^(-1/2) y_mean
    double* w = whitened + n;
    double* rest = w + ranked.rows;

    weights_by_row(ranked, w);
    mean_of_better(ranked, z_mean, n);
    times(bd, z_mean, y_mean, n, rest);
    times(b, z_mean, whitened, n, rest);
    for (std::size_t i = 0; i < n; ++i) to.mean[i] = from.mean[i] + sigma * y_mean[i];

    const double ps_keep = 1 - rates.cs;
    for (std::size_t i = 0; i < n; ++i)
        to.ps[i] = ps_keep * from.ps[i] + rates.ps_gain * whitened[i];
    const double ps_norm = length(to.ps, n);

    // Stall the rank-one path while the step size grows fast, so that C
    // does not stretch along a direction that sigma is already covering.
    const bool h_sigma = ps_norm / ps_bias < rates.h_sigma_limit;
    const double pc_keep = 1 - rates.cc;
    for (std::size_t i = 0; i < n; ++i) {
        to.pc[i] = pc_keep * from.pc[i];
        if (h_sigma) to.pc[i] = to.pc[i] + rates.pc_gain * y_mean[i];
    }

    const double c1_lost = h_sigma ? 0.0 : rates.c1 * rates.cc * (2 - rates.cc);
    std::memcpy(to.c, from.c, n * n * sizeof(double));
    update_covariance(to.c,
                      {rates.keep + c1_lost, rates.c1, to.pc, rates.cmu, w, ranked.z, ranked.y,
                       ranked.rows},
                      n, rest, split);
    return ps_norm;
}

}  // namespace zorv::optimizer
