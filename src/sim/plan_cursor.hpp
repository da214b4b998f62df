// One batch's plans as every thread that scores the batch sees them: a
// shared position from which each takes the next plan nobody has taken.
#pragma once

#include <atomic>
#include <cstddef>

#include "sim/plan.hpp"

namespace zorv::sim {

// call(context), once, when the plan at index notice_at is taken: from then
// on only the batch's last runs are left, which lets whoever waits for the
// batch get ready for its end.
struct PlanCursorNotice {
    void (*call)(void* context) noexcept = nullptr;
    void* context = nullptr;
    std::size_t notice_at = 0;
};

// Hands out each plan of the batch exactly once, in input order, to whichever
// caller asks next, and puts each score into the slot of its plan. Any number
// of threads may take from one cursor at once; a thread's lanes keep taking
// until none is left, so no lane idles while the batch still has plans.
//
// Outside the instruction-set namespaces, with its functions in a portable
// file: the one type serves every path, and no copy of a function encoded for
// a wider instruction set can take the place of the portable one.
class PlanCursor {
public:
    PlanCursor(const Plan* plans, double* scores, std::size_t count, PlanCursorNotice notice = {}) noexcept
        : plans_(plans), scores_(scores), count_(count), notice_(notice) {}
    PlanCursor(const PlanCursor&) = delete;
    PlanCursor& operator=(const PlanCursor&) = delete;

    // The next plan no caller has taken and its slot; false once every plan
    // has been handed out.
    bool take(const Plan*& plan, std::size_t& slot) noexcept;

    void put_score(std::size_t slot, double score) noexcept;

    std::size_t count() const noexcept { return count_; }

private:
    const Plan* const plans_;
    double* const scores_;
    const std::size_t count_;
    const PlanCursorNotice notice_;
    // Every taker writes this; its own cache line keeps those writes from
    // evicting the fields above, which every taker only reads.
    alignas(64) std::atomic<std::size_t> next_{0};
};

}  // namespace zorv::sim
