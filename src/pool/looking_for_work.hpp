// The pool's timing, which its workers and the callers that wait on them
// (caller_latch.cpp) share.
#pragma once

#include <chrono>

namespace zorv::pool {

// How long a worker that has run dry keeps looking for work before it sleeps.
// Work often comes soon: the other half of a join within microseconds, and
// the next batch of a search, which scores one batch per generation, after
// well under a millisecond of the search's own work. A worker still looking
// takes it at once, where waking a sleeping one costs tens of microseconds, a
// large share of a batch of a millisecond. After a long stretch of work that
// share is small, and a worker sleeps soon instead, leaving the processors to
// the calling thread, which then has a large batch's input and results to
// convert. Looking yields the processor on every round, and it stops soon,
// so that a process that stops calling gives its cores back.
constexpr std::chrono::microseconds look_after_short_work{1000};
constexpr std::chrono::microseconds look_after_long_work{50};
constexpr std::chrono::milliseconds long_work{5};

}  // namespace zorv::pool
