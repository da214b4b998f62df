// The wide-type cases on four AVX2 lanes, compiled as the AVX2 lanes are.
#define ZORV_ISA avx2

#include "simd/avx2.hpp"
#include "wide_type_cases.hpp"

namespace zorv::test {

WideCaseResults wide_cases_avx2(const WideCaseInputs& in) { return run_wide_cases<simd::Double4, simd::Words4>(in); }

}  // namespace zorv::test
