// Each instruction set compiles its own copy of every inline function that
// does arithmetic: the wide types here, the physics, the fast atan2 and the
// optimizer's normal samples. The inline namespace ZORV_ISA keeps the copies
// apart, so that the linker can never merge an inline function encoded for
// AVX2 into the portable path (or one encoded for AVX-512 into the AVX2
// path).
//
// A file compiled for an instruction set names its namespace by defining
// ZORV_ISA before its first include; every other file compiles the portable
// copy. Headers that only such a file may include (the wide types of an
// instruction set, the kernels on them) include isa_file.hpp, which refuses
// to compile in the portable copy, so a file that forgot the name fails to
// build instead of quietly sharing its inline functions.
#pragma once

#ifndef ZORV_ISA
#define ZORV_ISA portable
#define ZORV_ISA_IS_PORTABLE
#endif
