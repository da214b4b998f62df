// Included by the headers that only a file compiled for an instruction set
// may include (its wide types, the kernels on them): such a file must have
// named its own namespace (see isa.hpp), or it would share its inline
// functions with the portable path.
#pragma once

#include "simd/isa.hpp"

#ifdef ZORV_ISA_IS_PORTABLE
#error "a file compiled for an instruction set must define ZORV_ISA before its first include"
#endif
