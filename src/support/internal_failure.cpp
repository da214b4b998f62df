#include "support/internal_failure.hpp"

namespace zorv {

InternalFailure::~InternalFailure() = default;

}  // namespace zorv
