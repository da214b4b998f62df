// Included by the headers that only a file compiled for an instruction set
// may include (lane types, register forms): such a file must have named its
// own namespace (see isa.hpp), or it would share its inline functions with
// the portable path.
#pragma once

#include "sim/isa.hpp"

#ifdef ZORV_SIM_ISA_IS_PORTABLE
#error "a file compiled for an instruction set must define ZORV_SIM_ISA before its first include"
#endif
