// The optimizer's AVX2 build: the products on two registers of four lanes
// per group of eight, the normal samples one at a time.
#define ZORV_ISA avx2

#include "dispatch/instruction_sets.hpp"
#include "optimizer/build.hpp"
#include "optimizer/products_loops.hpp"
#include "simd/avx2.hpp"

namespace zorv::optimizer::builds {
const Build avx2{ProductLoops<simd::Double4>::table(), fill_normals_one_at_a_time};
}  // namespace zorv::optimizer::builds
