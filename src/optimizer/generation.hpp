// The two steps of a CMA-ES generation whose arithmetic is all array work:
// drawing a population and updating the covariance matrix. Row-major
// doubles; each formula is evaluated in the order written below, so that the
// bits are those of the same steps taken one array operation at a time.
#pragma once

#include <cstddef>

#include "optimizer/normals.hpp"

namespace zorv::optimizer {

struct Population {
    double* z;  // rows x n standard normal samples
    double* y;  // rows x n: y[k] = bd z[k]
    double* x;  // rows x n: x[k][i] = mean[i] + sigma * y[k][i]
    std::size_t rows;
};

// `work` holds n * 8 doubles.
void sample_population(Xoshiro256& generator, const double* bd, const double* mean,
                       double sigma, const Population& out, std::size_t n, double* work);

struct CovarianceStep {
    double keep;      // the old matrix's factor
    double c1;        // the rank-one update's rate, along pc
    const double* pc;
    double cmu;       // the rank-mu update's rate
    const double* w;  // rows weights, by rank; negative ones are rescaled
    const double* z;  // rows x n samples, and their shaped rows y
    const double* y;
    std::size_t rows;
};

// c = (keep c + c1 pc pc^T) + cmu sum_k w'[k] y[k] y[k]^T, exactly symmetric,
// where w'[k] = (w[k] n) / |z[k]|^2 for negative weights (so that a worse
// sample's direction counts with length sqrt(n) in the sampling metric),
// w[k] otherwise. `work` holds covariance_step_work(rows, n) doubles.
std::size_t covariance_step_work(std::size_t rows, std::size_t n);
void update_covariance(double* c, const CovarianceStep& step, std::size_t n, double* work);

}  // namespace zorv::optimizer
