// The optimizer's code built for one instruction set: its products and the
// draw of its normal samples. Each row of the table of instruction sets
// (src/dispatch/instruction_sets.hpp) points to its build, defined in
// products_<set>.cpp; every build gives the same bits.
#pragma once

#include <cstddef>

#include "optimizer/product_kernels.hpp"
#include "optimizer/ziggurat.hpp"

namespace zorv::optimizer {

struct Build {
    Products products;
    // All `count` samples of a fill from its streams (ziggurat.hpp).
    void (*draw_normals)(StreamsOfAFill& streams, double* out, std::size_t count);
};

}  // namespace zorv::optimizer
