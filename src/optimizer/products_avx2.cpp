// The products on AVX2: two registers of four lanes per group of eight.
// Without the x86 lanes this file compiles on plain doubles, a build that
// products() never chooses.
#define ZORV_ISA avx2

#include "optimizer/products_loops.hpp"

#ifdef __AVX2__
#include "simd/avx2.hpp"
#endif

namespace zorv::optimizer::builds {
#ifdef __AVX2__
const Products avx2 = ProductLoops<simd::Double4>::table();
#else
const Products avx2 = ProductLoops<double>::table();
#endif
}  // namespace zorv::optimizer::builds
