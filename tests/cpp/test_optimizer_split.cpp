// The optimizer's work split over a pool gives the bits of the unsplit work,
// at sizes that fit no group of eight and with pieces of every count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "pool/worker_pool.hpp"
#include "dispatch/instruction_sets.hpp"
#include "optimizer/box.hpp"
#include "optimizer/build.hpp"
#include "optimizer/generation.hpp"
#include "optimizer/normals.hpp"
#include "optimizer/products.hpp"
#include "optimizer/split.hpp"

namespace zorv::optimizer {
namespace {

pool::WorkerPool& test_pool() {
    static const std::unique_ptr<pool::WorkerPool> pool = [] {
        int error = 0;
        return pool::WorkerPool::start(3, &pool::WorkerPool::start_detached_thread, error);
    }();
    return *pool;
}

std::vector<double> random_values(std::size_t count, unsigned seed) {
    std::mt19937_64 engine(seed);
    std::normal_distribution<double> normal;
    std::vector<double> values(count);
    for (double& v : values) v = normal(engine);
    return values;
}

// Outputs start as a value no product gives, so that an entry one way
// writes and the other skips shows.
std::vector<double> unwritten(std::size_t count) { return std::vector<double>(count, -1234.5); }

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// The products of every build this CPU can run.
std::vector<const Products*> runnable_builds() {
    std::vector<const Products*> builds;
    for (const dispatch::InstructionSet& row : dispatch::instruction_sets()) {
        if (row.runs(dispatch::this_process_inputs())) builds.push_back(&row.optimizer->products);
    }
    return builds;
}

constexpr std::size_t awkward_rows[] = {1, 7, 9, 61, 203};
constexpr std::size_t awkward_n[] = {3, 13, 40};
constexpr std::size_t piece_counts[] = {2, 3, 7, 40};

TEST(Split, RowsComeInWholeGroupsOfEightAndCoverEveryRowOnce) {
    for (std::size_t pieces : piece_counts)
        for (std::size_t rows : {0, 1, 8, 61, 203, 2048}) {
            const Split split(&test_pool(), pieces);
            std::size_t next = 0;
            for (std::size_t p = 0; p < pieces; ++p) {
                const auto [first, end] = split.rows_of(p, rows);
                EXPECT_EQ(first, next);
                EXPECT_LE(first, end);
                if (end != rows) EXPECT_EQ(end % 8, 0u);
                next = end;
            }
            EXPECT_EQ(next, rows);
        }
}

TEST(Split, SumRowsRunFromTheFirstToTheLastWithTheEarlyRowsInSmallerPieces) {
    for (std::size_t n : {1, 3, 13, 40, 100})
        for (std::size_t pieces : piece_counts) {
            EXPECT_EQ(outer_sum_first_row(0, pieces, n), 0u);
            EXPECT_EQ(outer_sum_first_row(pieces, pieces, n), n);
            for (std::size_t p = 0; p < pieces; ++p) {
                const std::size_t first = outer_sum_first_row(p, pieces, n);
                EXPECT_LE(first, outer_sum_first_row(p + 1, pieces, n));
                if (first != n) EXPECT_EQ(first % 4, 0u);
            }
        }
    // The first rows reach every block of the sum: two pieces split 40 rows
    // where half the blocks' cost lies, well before row 20.
    EXPECT_EQ(outer_sum_first_row(1, 2, 40), 12u);
}

TEST(SplitProducts, RowDotsAndOuterSumGiveTheUnsplitBits) {
    for (const Products* kernels : runnable_builds())
        for (std::size_t n : awkward_n)
            for (std::size_t rows : awkward_rows) {
                SCOPED_TRACE(testing::Message() << "rows " << rows << ", n " << n);
                const std::vector<double> z = random_values(rows * n, 1);
                const std::vector<double> a = random_values(n * n, 2);
                const std::vector<double> w = random_values(rows, 3);
                std::vector<double> work(row_dots_work(n)), sum_work(outer_sum_work(n));

                std::vector<double> shaped = unwritten(rows * n), dots = unwritten(rows),
                                    sum = unwritten(n * n);
                kernels->shape(z.data(), a.data(), shaped.data(), rows, n,
                               reinterpret_cast<double (*)[8]>(work.data()));
                kernels->row_dots(z.data(), shaped.data(), dots.data(), rows, n,
                                  reinterpret_cast<double (*)[8]>(work.data()));
                kernels->weighted_outer_sum(w.data(), shaped.data(), sum.data(), rows, n,
                                            sum_work.data());
                for (std::size_t pieces : piece_counts) {
                    SCOPED_TRACE(testing::Message() << pieces << " pieces");
                    const Split split(&test_pool(), pieces);
                    std::vector<double> split_dots = unwritten(rows), split_sum = unwritten(n * n);
                    row_dots(*kernels, z.data(), shaped.data(), split_dots.data(), rows, n, split);
                    std::vector<double> split_work(pieces * outer_sum_work(n));
                    weighted_outer_sum(*kernels, w.data(), shaped.data(), split_sum.data(), rows, n,
                                       split_work.data(), split);
                    EXPECT_TRUE(same_bits(split_dots, dots));
                    EXPECT_TRUE(same_bits(split_sum, sum));
                }
            }
}

// A sum in index order, one term after another.
template <class Term>
double in_order(std::size_t count, Term term) {
    double total = 0.0;
    for (std::size_t i = 0; i < count; ++i) total += term(i);
    return total;
}

TEST(Products, EveryBuildSumsEachOutputInIndexOrder) {
    for (const Products* kernels : runnable_builds())
        for (const auto [rows, n] : {std::pair<std::size_t, std::size_t>{1, 1}, {3, 5}, {17, 40}, {150, 13}}) {
            SCOPED_TRACE(testing::Message() << "rows " << rows << ", n " << n);
            const std::vector<double> z = random_values(rows * n, 5);
            const std::vector<double> a = random_values(n * n, 6);
            const std::vector<double> w = random_values(rows, 7);
            std::vector<double> work(std::max(row_dots_work(n), outer_sum_work(n)));
            std::vector<double> shaped = unwritten(rows * n), combined = unwritten(n),
                                outer = unwritten(n * n), dots = unwritten(rows);
            const auto lanes = reinterpret_cast<double (*)[8]>(work.data());
            kernels->shape(z.data(), a.data(), shaped.data(), rows, n, lanes);
            kernels->combine(w.data(), z.data(), combined.data(), rows, n);
            kernels->row_dots(z.data(), z.data(), dots.data(), rows, n, lanes);
            kernels->weighted_outer_sum(w.data(), z.data(), outer.data(), rows, n, work.data());
            for (std::size_t k = 0; k < rows; ++k) {
                ASSERT_EQ(dots[k], in_order(n, [&](std::size_t j) { return z[k * n + j] * z[k * n + j]; }));
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_EQ(shaped[k * n + i],
                              in_order(n, [&](std::size_t j) { return z[k * n + j] * a[i * n + j]; }));
                }
            }
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(combined[i], in_order(rows, [&](std::size_t k) { return w[k] * z[k * n + i]; }));
                for (std::size_t j = i; j < n; ++j) {
                    ASSERT_EQ(outer[i * n + j], in_order(rows, [&](std::size_t k) {
                                  return (w[k] * z[k * n + i]) * z[k * n + j];
                              }));
                }
            }
        }
}

TEST(Products, EveryBuildClampsAsTheScalarSelectsDo) {
    // The box's edges, values beside them, signed zeros, infinities and NaN,
    // at every place in a register and in the tail after the last one.
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> edges{-inf, -1e300, std::nextafter(-1.0, -2.0), -1.0,
                                    std::nextafter(-1.0, 0.0), -0.0, 0.0, 5e-324,
                                    std::nextafter(1.0, 0.0), 1.0, std::nextafter(1.0, 2.0),
                                    1e300, inf, std::numeric_limits<double>::quiet_NaN()};
    std::vector<double> values;
    for (std::size_t shift = 0; shift < 8; ++shift)
        for (std::size_t k = 0; k < edges.size(); ++k) values.push_back(edges[(k + shift) % edges.size()]);
    values.resize(values.size() - 3);  // a tail that fills no register
    std::vector<double> expected;
    for (double x : values) {
        const double above = x < -1.0 ? -1.0 : x;
        expected.push_back(above > 1.0 ? 1.0 : above);
    }
    for (const Products* kernels : runnable_builds()) {
        std::vector<double> clamped = unwritten(values.size());
        kernels->clamp(values.data(), clamped.data(), values.size(), -1.0, 1.0);
        EXPECT_TRUE(same_bits(clamped, expected));
    }
}

TEST(SplitBox, SumsAndClampingGiveTheUnsplitBits) {
    for (std::size_t n : awkward_n)
        for (std::size_t rows : awkward_rows) {
            SCOPED_TRACE(testing::Message() << "rows " << rows << ", n " << n);
            // About a third of the values beyond the box, a NaN among them.
            std::vector<double> points = random_values(rows * n, 4);
            points[rows * n / 2] = std::numeric_limits<double>::quiet_NaN();
            std::vector<double> plans = unwritten(rows * n), outside = unwritten(rows);
            clip_to_box(points.data(), plans.data(), rows * n);
            std::vector<double> work(box_sums_work(rows, n, Split::none()));
            const BoxSums sums = box_sums(points.data(), plans.data(), outside.data(), rows, n,
                                          work.data());
            for (std::size_t pieces : piece_counts) {
                SCOPED_TRACE(testing::Message() << pieces << " pieces");
                const Split split(&test_pool(), pieces);
                std::vector<double> split_plans = unwritten(rows * n),
                                    split_outside = unwritten(rows);
                clip_to_box(points.data(), split_plans.data(), rows * n, split);
                std::vector<double> split_work(box_sums_work(rows, n, split));
                const BoxSums split_sums = box_sums(points.data(), plans.data(),
                                                    split_outside.data(), rows, n,
                                                    split_work.data(), split);
                EXPECT_TRUE(same_bits(split_plans, plans));
                EXPECT_TRUE(same_bits(split_outside, outside));
                EXPECT_TRUE(same_bits({split_sums.squares, split_sums.centre_square},
                                      {sums.squares, sums.centre_square}));
            }
        }
}

TEST(SplitNormals, EveryStreamDrawsItsSamplesInOrderWhateverThePieces) {
    for (std::size_t count : {0, 5, 1003, 80'000}) {
        Xoshiro256 alone{{1, 2, 3, 4}};
        std::vector<double> expected = unwritten(count);
        fill_normals(alone, expected.data(), count);
        for (std::size_t pieces : {2, 3, 5, 8, 9}) {
            SCOPED_TRACE(testing::Message() << count << " samples, " << pieces << " pieces");
            Xoshiro256 split_generator{{1, 2, 3, 4}};
            std::vector<double> samples = unwritten(count);
            fill_normals(split_generator, samples.data(), count, Split(&test_pool(), pieces));
            EXPECT_TRUE(same_bits(samples, expected));
            EXPECT_EQ(split_generator.state, alone.state);
        }
    }
}

TEST(SplitGeneration, APopulationAndItsCovarianceStepGiveTheUnsplitBits) {
    for (std::size_t n : awkward_n)
        for (std::size_t rows : {9, 203}) {
            SCOPED_TRACE(testing::Message() << "rows " << rows << ", n " << n);
            const std::vector<double> bd = random_values(n * n, 4), mean = random_values(n, 5);
            const std::vector<double> w = random_values(rows, 6), pc = random_values(n, 7);
            const std::vector<double> c0 = random_values(n * n, 8);
            struct Result {
                std::vector<double> z, y, x, c;
            };
            const auto generation = [&](const Split& split) {
                Result r{unwritten(rows * n), unwritten(rows * n), unwritten(rows * n), c0};
                Xoshiro256 generator{{9, 10, 11, 12}};
                sample_population(generator, bd.data(), mean.data(), 0.3,
                                  {r.z.data(), r.y.data(), r.x.data(), rows}, n, split);
                std::vector<double> work(covariance_step_work(rows, n, split));
                update_covariance(r.c.data(),
                                  {0.5, 0.1, pc.data(), 0.2, w.data(), r.z.data(), r.y.data(), rows},
                                  n, work.data(), split);
                return r;
            };
            const Result alone = generation(Split::none());
            for (std::size_t pieces : piece_counts) {
                const Result split = generation(Split(&test_pool(), pieces));
                EXPECT_TRUE(same_bits(split.z, alone.z));
                EXPECT_TRUE(same_bits(split.y, alone.y));
                EXPECT_TRUE(same_bits(split.x, alone.x));
                EXPECT_TRUE(same_bits(split.c, alone.c));
            }
        }
}

}  // namespace
}  // namespace zorv::optimizer
