// Must not compile: a file built for AVX2 that includes the physics and a
// lane type without naming its instruction set's namespace first. Compiled
// by the test InstructionSetFile.MustNameItsNamespace, which expects the
// lane type's own error.
#include "sim/step.hpp"
#include "simd/avx2.hpp"
