// A broken invariant of the module's own code, or a worker pool that cannot
// be built. Thrown by the pool, the batch evaluator and the call boundary's
// helpers alike; the call boundary turns it into the Python-level
// internal-failure exception, with what() as its text.
#pragma once

#include <stdexcept>

#include "support/shared_api.hpp"

namespace zorv {

// Its destructor is defined out of line, so that its type information lives
// in the shared library alone and is the same for every module that throws
// or catches it.
class ZORV_SHARED_API InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    ~InternalFailure() override;
};

}  // namespace zorv
