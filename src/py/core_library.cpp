// The core library's side of the identity check of core_library.hpp.
#include "build_identity.hpp"
#include "py/core_library.hpp"

namespace zorv::py {

const char* core_library_build() { return ZORV_BUILD_IDENTITY; }

}  // namespace zorv::py
