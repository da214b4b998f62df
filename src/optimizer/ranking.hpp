// The order of a generation's values, best (lowest) first, and the values
// at given places of that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "support/shared_api.hpp"

namespace zorv::optimizer {

// order[r] = the index of the r-th smallest of values[0..count): equal
// values (-0 and +0 alike, every NaN alike, after every number) in index
// order, as NumPy's stable argsort gives them. A radix sort, stable
// whatever the values: no comparison sort's worst case, and no second
// sort where ties make the order depend on the sort.
ZORV_SHARED_API void stable_order(const double* values, std::size_t count, std::int64_t* order);

// The values at places `first` and `second` (each below count) of
// values[0..count) sorted ascending, NaN last: what sorting them and reading
// those places gives, but that a zero comes back as +0 and a NaN as the
// quiet NaN. A radix select, a byte at a time from the top, without a
// branch on the values: the places of random values take no comparison
// sort's mispredicted branches.
std::pair<double, double> values_at_places(const double* values, std::size_t count,
                                           std::size_t first, std::size_t second);

}  // namespace zorv::optimizer
