#include "sim/plan_cursor.hpp"

namespace zorv::sim {

bool PlanCursor::take(const Plan*& plan, std::size_t& slot) noexcept {
    // Relaxed throughout: the position only has to give each index to one
    // taker. The plans were written before the batch was handed to the
    // threads, and the scores reach the batch's owner through the end of each
    // thread's share, so neither needs ordering from here.
    // A load first: once the batch has run dry, late takers only read the
    // line instead of moving it between cores with increments.
    if (next_.load(std::memory_order_relaxed) >= count_) return false;
    const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
    if (index >= count_) return false;
    // Exactly one taker gets this index, so the notice goes out once.
    if (index == notice_.notice_at && notice_.call != nullptr) notice_.call(notice_.context);
    plan = &plans_[index];
    slot = index;
    return true;
}

void PlanCursor::put_score(std::size_t slot, double score) noexcept { scores_[slot] = score; }

}  // namespace zorv::sim
