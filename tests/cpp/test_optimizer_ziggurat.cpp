// The ziggurat's wedge lines decide a slow-path sample without the density
// only where the density decides it the same way, and decide most of them.
#include <gtest/gtest.h>

#include "optimizer/ziggurat.hpp"

namespace zorv::optimizer {
namespace {

TEST(ZigguratWedges, TheLinesHoldTheDensityBetweenThemAndDecideMostPoints) {
    const ZigguratLayers& l = ziggurat_layers();
    constexpr int steps = 1000;
    double undecided = 0.0;  // of the wedges' heights, summed over the points
    int points = 0;
    for (int layer = 1; layer < ZigguratLayers::count; ++layer) {
        SCOPED_TRACE(testing::Message() << "layer " << layer);
        const double inner = l.width[layer + 1], outer = l.width[layer];
        const double bottom = l.height[layer], top = l.height[layer + 1];
        for (int k = 0; k <= steps; ++k) {
            const double x = inner + (outer - inner) * k / steps;
            const double density = ziggurat_density(x);
            const double lower = wedge_lower(l, layer, x), upper = wedge_upper(l, layer, x);
            // y below `lower` is taken, y at or above `upper` is not: both as
            // y < density says.
            ASSERT_LE(lower, density) << "x " << x;
            ASSERT_GT(upper, density) << "x " << x;
            // A wedge's y lies in [bottom, top): the part between the lines
            // is left to the density.
            const double from = lower > bottom ? lower : bottom;
            const double to = upper < top ? upper : top;
            undecided += (to > from ? to - from : 0.0) / (top - bottom);
            ++points;
        }
    }
    EXPECT_LT(undecided / points, 0.05);
}

}  // namespace
}  // namespace zorv::optimizer
