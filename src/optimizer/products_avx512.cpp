// The optimizer's AVX-512 build: the products on eight AVX-512 lanes, one
// register per group of lanes, and the normal samples drawn one from each
// stream at once (normals_avx512.cpp).
#define ZORV_ISA avx512

#include "dispatch/instruction_sets.hpp"
#include "optimizer/build.hpp"
#include "optimizer/products_loops.hpp"
#include "simd/avx512.hpp"

namespace zorv::optimizer::builds {
const Build avx512{ProductLoops<simd::Double8>::table(), fill_normals_avx512};
}  // namespace zorv::optimizer::builds
