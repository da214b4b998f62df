// The optimizer's portable build: the products on plain doubles and the
// normal samples one at a time, for CPUs without AVX2 and for the switch
// that turns the SIMD paths off.
#include "dispatch/instruction_sets.hpp"
#include "optimizer/build.hpp"
#include "optimizer/products_loops.hpp"

namespace zorv::optimizer::builds {
const Build portable{ProductLoops<double>::table(), fill_normals_one_at_a_time};
}  // namespace zorv::optimizer::builds
