// The order of a generation's values, best (lowest) first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/shared_api.hpp"

namespace zorv::optimizer {

// order[r] = the index of the r-th smallest of values[0..count): equal
// values (-0 and +0 alike, every NaN alike, after every number) in index
// order, as NumPy's stable argsort gives them. A radix sort, stable
// whatever the values: no comparison sort's worst case, and no second
// sort where ties make the order depend on the sort.
ZORV_SHARED_API void stable_order(const double* values, std::size_t count, std::int64_t* order);

}  // namespace zorv::optimizer
