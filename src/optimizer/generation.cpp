#include "optimizer/generation.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "optimizer/products.hpp"

namespace zorv::optimizer {

namespace {

// y = bd z and x = mean + sigma y for rows first..end.
void shape_rows(const Products& kernels, const double* bd, const double* mean, double sigma,
                const Population& out, std::size_t n, std::size_t first, std::size_t end,
                double (*lanes)[8]) {
    kernels.shape(out.z + first * n, bd, out.y + first * n, end - first, n, lanes);
    for (std::size_t k = first; k < end; ++k)
        for (std::size_t i = 0; i < n; ++i) out.x[k * n + i] = mean[i] + sigma * out.y[k * n + i];
}

// Rows drawn and shaped a stretch at a time: a multiple of eight rows, so
// that every stretch but the last holds whole rounds of the streams.
constexpr std::size_t rows_per_stretch = 32;

// Where the pieces of a split population meet: how many rows the drawing
// piece has drawn, and the next stretch for any piece to shape, each on a
// cache line of its own (one piece writes the first as the others poll it).
struct SampleProgress {
    alignas(64) std::atomic<std::size_t> rows_drawn{0};
    alignas(64) std::atomic<std::size_t> next_stretch{0};
};

}  // namespace

void sample_population(Xoshiro256& generator, const double* bd, const double* mean,
                       double sigma, const Population& out, std::size_t n, const Split& split) {
    const Products& kernels = products();
    NormalStreams streams(generator);
    if (split.pieces() < 2) {
        std::unique_ptr<double[]> lanes = std::make_unique_for_overwrite<double[]>(shape_work(n));
        streams.draw(out.z, out.rows * n);
        shape_rows(kernels, bd, mean, sigma, out, n, 0, out.rows,
                   reinterpret_cast<double (*)[8]>(lanes.get()));
        return;
    }
    // The samples come from one sequence of draws, which no second thread
    // can share; the shaping, as long again, can. So piece 0 draws the
    // stretches in order while the other pieces shape those already drawn,
    // and then it shapes too. A piece's rows are the same arithmetic
    // wherever they run, and piece 0 never waits for another: it runs from
    // the start on the thread that asked (or first, on a pool's worker), so
    // the others' waits end.
    const std::size_t stretches = (out.rows + rows_per_stretch - 1) / rows_per_stretch;
    const auto stretch_end = [&](std::size_t s) { return std::min(out.rows, (s + 1) * rows_per_stretch); };
    const std::unique_ptr<double[]> work =
        std::make_unique_for_overwrite<double[]>(split.pieces() * shape_work(n));
    SampleProgress progress;
    split.run([&](std::size_t p) {
        if (p == 0) {
            for (std::size_t s = 0; s < stretches; ++s) {
                const std::size_t first = s * rows_per_stretch;
                streams.draw(out.z + first * n, (stretch_end(s) - first) * n);
                // Release: the rows' samples, to the piece that acquires this count.
                progress.rows_drawn.store(stretch_end(s), std::memory_order_release);
            }
        }
        double (*lanes)[8] = reinterpret_cast<double (*)[8]>(work.get() + p * shape_work(n));
        for (;;) {
            // Relaxed: only hands out each stretch once; the samples come
            // with the acquire below.
            const std::size_t s = progress.next_stretch.fetch_add(1, std::memory_order_relaxed);
            if (s >= stretches) return;
            // Acquire: pairs with the drawing piece's release of its rows.
            while (progress.rows_drawn.load(std::memory_order_acquire) < stretch_end(s))
                std::this_thread::yield();
            shape_rows(kernels, bd, mean, sigma, out, n, s * rows_per_stretch, stretch_end(s), lanes);
        }
    });
}

namespace {

// NumPy's row minimum and maximum are NaN where the row holds one, and NaN
// compares false: such a row counts as inside.
bool row_outside(const double* row, std::size_t n, double lower, double upper) {
    bool below = false, above = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(row[i])) return false;
        below = below || row[i] < lower;
        above = above || row[i] > upper;
    }
    return below || above;
}

}  // namespace

void sample_again_outside(Xoshiro256& generator, const double* bd, const double* mean, double sigma,
                          const Population& out, std::size_t n, double lower, double upper,
                          std::size_t tries, std::size_t block) {
    std::vector<std::size_t> outside;
    std::vector<double> z, y, x;
    for (std::size_t t = 0; t < tries; ++t) {
        outside.clear();
        for (std::size_t r = 0; r < out.rows; ++r) {
            if (row_outside(out.x + r * n, n, lower, upper)) outside.push_back(r);
        }
        if (outside.empty()) return;
        for (std::size_t start = 0; start < outside.size(); start += block) {
            const std::size_t count = std::min(block, outside.size() - start);
            z.resize(count * n), y.resize(count * n), x.resize(count * n);
            sample_population(generator, bd, mean, sigma, {z.data(), y.data(), x.data(), count}, n,
                              Split::for_size(count * n, Split::smallest_sampling_split));
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t r = outside[start + k];
                std::copy_n(z.data() + k * n, n, out.z + r * n);
                std::copy_n(y.data() + k * n, n, out.y + r * n);
                std::copy_n(x.data() + k * n, n, out.x + r * n);
            }
        }
    }
}

std::size_t covariance_step_work(std::size_t rows, std::size_t n, const Split& split) {
    return n * n + rows + split.pieces() * outer_sum_work(n);
}

void update_covariance(double* c, const CovarianceStep& step, std::size_t n, double* work,
                       const Split& split) {
    double* outer = work;
    double* weights = outer + n * n;
    double* outer_sum_pieces = weights + step.rows;
    const Products& kernels = products();
    row_dots(kernels, step.z, step.z, weights, step.rows, n, split);
    for (std::size_t k = 0; k < step.rows; ++k) {
        // Both, then a select by mask: the weights' signs come in the rows'
        // random order, and a branch on them (which the compiler makes of
        // a plain ?:, to spare the division) is mispredicted half the time.
        const double wk = step.w[k];
        const double rescaled = wk * static_cast<double>(n) / weights[k];
        const std::uint64_t negative = wk < 0.0 ? ~std::uint64_t{0} : 0;
        weights[k] = std::bit_cast<double>((std::bit_cast<std::uint64_t>(rescaled) & negative) |
                                           (std::bit_cast<std::uint64_t>(wk) & ~negative));
    }
    weighted_outer_sum(kernels, weights, step.y, outer, step.rows, n, outer_sum_pieces, split);
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
    // Not aliased: the sums stay in registers across rows.
    double* __restrict sum = z_mean;
    for (std::size_t i = 0; i < n; ++i) sum[i] = 0.0;
    // The rows come in rank order, which no prefetcher foresees: each is
    // asked for a few rows ahead.
    constexpr std::size_t ahead = 4;
    for (std::size_t r = 0; r < ranked.better; ++r) {
        if (r + ahead < ranked.better) {
            const double* later = ranked.z + ranked.order[r + ahead] * n;
            for (std::size_t i = 0; i < n; i += 8) __builtin_prefetch(later + i);
        }
        const double wr = ranked.weights[r];
        const double* __restrict zr = ranked.z + ranked.order[r] * n;
        for (std::size_t i = 0; i < n; ++i) sum[i] = sum[i] + wr * zr[i];
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

std::size_t distribution_step_work(std::size_t rows, std::size_t n, const Split& split) {
    // The shaping and the covariance step use the same rest in turn.
    return 3 * n + rows + std::max(shape_work(n), covariance_step_work(rows, n, split));
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
