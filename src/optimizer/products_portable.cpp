// The products on plain doubles, for CPUs without AVX2 and for the switch
// that turns the SIMD paths off.
#include "optimizer/products_loops.hpp"

namespace zorv::optimizer::builds {
const Products portable = ProductLoops<double>::table();
}  // namespace zorv::optimizer::builds
