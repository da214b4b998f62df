// The two steps of a CMA-ES generation whose arithmetic is all array work:
// drawing a population, and updating the distribution from its ranks. Row-major
// doubles; each formula is evaluated in the order written below, so that the
// bits are those of the same steps taken one array operation at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "optimizer/normals.hpp"
#include "optimizer/split.hpp"

namespace zorv::optimizer {

struct Population {
    double* z;  // rows x n standard normal samples
    double* y;  // rows x n: y[k] = bd z[k]
    double* x;  // rows x n: x[k][i] = mean[i] + sigma * y[k][i]
    std::size_t rows;
};

// Split over the split's pieces: one draws the samples, a stretch of rows at
// a time, while the others shape the rows drawn, and then it shapes too.
ZORV_SHARED_API void sample_population(Xoshiro256& generator, const double* bd,
                                       const double* mean, double sigma, const Population& out,
                                       std::size_t n, const Split& split);

// The rows of out that hold a value outside [lower, upper] (a row with a NaN
// counts as inside, as NumPy's row minima and maxima compare), drawn again
// with sample_population, all such rows at once in blocks of at most
// `block` rows, each block split by its own size, up to `tries` times:
// every call draws what the same call from Python would.
ZORV_SHARED_API void sample_again_outside(Xoshiro256& generator, const double* bd,
                                          const double* mean, double sigma, const Population& out,
                                          std::size_t n, double lower, double upper,
                                          std::size_t tries, std::size_t block);

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
// w[k] otherwise. `work` holds covariance_step_work(rows, n, split) doubles.
// The row products and the sum are split over the split's pieces.
std::size_t covariance_step_work(std::size_t rows, std::size_t n, const Split& split);
void update_covariance(double* c, const CovarianceStep& step, std::size_t n, double* work,
                       const Split& split);

// The learning rates of one run, fixed when it starts.
struct Rates {
    double cs;             // of the step-size path ps
    double ps_gain;        // sqrt(cs (2 - cs) mueff)
    double cc;             // of the rank-one path pc
    double pc_gain;        // sqrt(cc (2 - cc) mueff)
    double h_sigma_limit;  // |ps| / ps_bias at or beyond this stalls pc
    double c1;             // rank one, along pc
    double cmu;            // rank mu, from every row
    double keep;           // 1 - c1 - cmu sum(weights): the old covariance's share
};

// A scored population: its rows from best to worst, and a weight per rank.
struct RankedPopulation {
    const double* weights;      // weights[r] for the r-th best row
    const std::int64_t* order;  // row indices, best first
    std::size_t better;         // the ranks with positive weights, which move the mean
    const double* z;            // rows x n, as drawn
    const double* y;            // rows x n, shaped
    std::size_t rows;
};

// mean, ps, pc (n each) and the covariance c (n x n).
struct Distribution {
    double* mean;
    double* ps;
    double* pc;
    double* c;
};

// One generation's update of `from` into `to` (separate arrays), each step
// as its formula below is written:
//   z_mean = sum over the better ranks r of weights[r] z[order[r]], in rank order
//   mean = mean + sigma (bd z_mean)
//   ps = (1 - cs) ps + ps_gain (b z_mean)
//   pc = (1 - cc) pc, plus pc_gain (bd z_mean) unless |ps| / ps_bias >= h_sigma_limit
//   c as update_covariance, with keep + (c1 cc) (2 - cc) when pc was stalled.
// Returns the new |ps|. `work` holds distribution_step_work(rows, n, split)
// doubles; the covariance step is split over the split's pieces.
ZORV_SHARED_API std::size_t distribution_step_work(std::size_t rows, std::size_t n,
                                                   const Split& split);
ZORV_SHARED_API double update_distribution(const Rates& rates, const RankedPopulation& ranked,
                                           const double* bd, const double* b, double sigma,
                                           double ps_bias, const Distribution& from,
                                           const Distribution& to, std::size_t n, double* work,
                                           const Split& split);

}  // namespace zorv::optimizer
