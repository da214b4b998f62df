// The values at given places of the sorted order are those that sorting
// gives, whatever the values: ties, zeros of both signs, infinities, NaN.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "optimizer/ranking.hpp"

namespace zorv::optimizer {
namespace {

TEST(ValuesAtPlaces, AreTheSortedValuesAtThosePlaces) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> edges = {0.0, -0.0, 1.0, -1.0, 5e-324, -5e-324, inf, -inf,
                                       std::numeric_limits<double>::quiet_NaN(), 1e308, 2.5};
    std::mt19937_64 engine(11);
    std::normal_distribution<double> normal(5.0, 1.0);
    for (std::size_t count : {1, 2, 3, 37, 256, 2048}) {
        std::vector<double> values(count);
        for (std::size_t i = 0; i < count; ++i) {
            // Normals, some repeated, and now and then an edge value.
            values[i] = i % 7 == 3 ? edges[(i / 7) % edges.size()]
                        : i % 5 == 1 && i > 0 ? values[i - 1]
                                              : normal(engine);
        }
        std::vector<double> sorted = values;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](double a, double b) { return a < b || (a == a && b != b); });
        for (std::size_t first = 0; first < count; first += 1 + count / 50)
            for (std::size_t second : {first, count - 1, count / 2}) {
                SCOPED_TRACE(testing::Message() << count << " values, places " << first << ", " << second);
                const auto [a, b] = values_at_places(values.data(), count, first, second);
                for (const auto& [got, expected] : {std::pair{a, sorted[first]}, std::pair{b, sorted[second]}}) {
                    if (std::isnan(expected)) {
                        EXPECT_TRUE(std::isnan(got));
                    } else {
                        EXPECT_EQ(got, expected);
                        if (got == 0.0) EXPECT_FALSE(std::signbit(got));
                    }
                }
            }
    }
}

}  // namespace
}  // namespace zorv::optimizer
