// The scores of the portable row of the table of instruction sets: the
// scalar run, plan after plan, with the C library's atan2 (the only source
// of angles this row has).
#include "dispatch/instruction_sets.hpp"
#include "sim/run.hpp"

namespace zorv::sim {

std::size_t score_plans_portable(PlanCursor& cursor, dispatch::Atan2Source) { return score_plans_scalar(cursor); }

}  // namespace zorv::sim
