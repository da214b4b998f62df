// The products on eight AVX-512 lanes: one register per group of lanes.
// Without the x86 lanes this file compiles on plain doubles, a build that
// products() never chooses.
#define ZORV_ISA avx512

#include "optimizer/products_loops.hpp"

#ifdef __AVX512F__
#include "simd/avx512.hpp"
#endif

namespace zorv::optimizer::builds {
#ifdef __AVX512F__
const Products avx512 = ProductLoops<simd::Double8>::table();
#else
const Products avx512 = ProductLoops<double>::table();
#endif
}  // namespace zorv::optimizer::builds
