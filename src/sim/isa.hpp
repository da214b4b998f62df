// Each instruction set compiles its own copy of the physics. The inline
// namespace ZORV_SIM_ISA keeps the copies apart, so that the linker can never
// merge an inline function encoded for AVX2 into the portable path.
//
// A file compiled for an instruction set names its namespace by defining
// ZORV_SIM_ISA before its first include; every other file compiles the
// portable copy. Headers that only such a file may include (lane types,
// register forms) include isa_file.hpp, which refuses to compile in the
// portable copy, so a file that forgot the name fails to build instead of
// quietly sharing its inline functions.
#pragma once

#ifndef ZORV_SIM_ISA
#define ZORV_SIM_ISA portable
#define ZORV_SIM_ISA_IS_PORTABLE
#endif
