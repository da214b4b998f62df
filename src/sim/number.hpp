// The small set of free functions the physics is written in.
//
// The step is a template over its number type. `double` runs one plan; the
// lane types (the concept LaneType in lane_scheduler.hpp) are the wide types
// of src/simd, which run several plans side by side and offer exactly the
// same functions, each of which performs per lane the one IEEE operation
// that the scalar version performs. Branches of the model are written as a
// mask and a select, so every width executes the same operations in the
// same order and round identically.
#pragma once

#include "simd/scalar.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

// The scalar forms, for `double`; a wide type's own are its hidden friends,
// which the same unqualified calls find.
using simd::either;
using simd::from_lanes;
using simd::is_nan;
using simd::lane;
using simd::lane_bits;
using simd::load;
using simd::mask_of;
using simd::select;
using simd::set_lane;
using simd::square_root;
using simd::store;
using simd::unit_with_sign_of;
using simd::width_of;

}  // namespace ZORV_ISA
}  // namespace zorv::sim
