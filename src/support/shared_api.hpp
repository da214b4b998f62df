// What libzorv_core.so shows the modules that load it.
//
// The simulation core, the worker pool, the batch evaluator, the choice of
// path and the call boundary are built once, into libzorv_core.so beside the
// zorv package, and zorv_fast, zorv._trace and zorv._cmaes load that one
// copy: one pool, one choice of path and one internal-failure exception per
// process. Everything is compiled with hidden visibility; a declaration
// marked ZORV_SHARED_API is one the modules call, and only such names leave
// the library (cmake/zorv_core.map hides what the C++ library's templates
// would add). The C++ tests and benchmarks link the same objects statically,
// where the mark changes nothing.
#pragma once

#define ZORV_SHARED_API __attribute__((visibility("default")))
