// The wide-type cases on eight AVX-512 lanes, compiled as the AVX-512 lanes are.
#define ZORV_ISA avx512

#include "simd/avx512.hpp"
#include "wide_type_cases.hpp"

namespace zorv::test {

WideCaseResults wide_cases_avx512(const WideCaseInputs& in) { return run_wide_cases<simd::Double8, simd::Words8>(in); }

}  // namespace zorv::test
