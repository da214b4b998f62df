// Standard normal samples for the optimizer, drawn from xoshiro256** with the
// ziggurat of ziggurat.hpp, so that every machine draws the same samples from
// one state.
#pragma once

#include <cstddef>

#include "optimizer/split.hpp"
#include "optimizer/xoshiro256.hpp"
#include "optimizer/ziggurat.hpp"

namespace zorv::optimizer {

// One fill's streams, seeded from `generator` as fill_normals seeds them,
// to be drawn in stretches: each draw() gives the fill's next `count`
// samples, so a fill drawn in stretches that are multiples of
// normal_streams (all but the last) gives fill_normals' samples, in the
// lanes where the CPU has them (the draw of the optimizer's build that this
// process takes).
class NormalStreams {
public:
    explicit NormalStreams(Xoshiro256& generator);
    void draw(double* out, std::size_t count);
    StreamsOfAFill& streams() { return streams_; }

private:
    StreamsOfAFill streams_;
};

// Fills `out` with standard normal samples, advancing `generator` by 32
// draws: those seed `normal_streams` streams, and sample i comes from
// stream i % normal_streams, each stream drawn in order. The streams let a
// vector unit draw one sample from each at once; every build gives the
// same samples.
void fill_normals(Xoshiro256& generator, double* out, std::size_t count);
// The same samples, the streams shared out among the split's pieces (at
// most eight): each stream is drawn by one piece, in order.
ZORV_SHARED_API void fill_normals(Xoshiro256& generator, double* out, std::size_t count,
                                  const Split& split);

}  // namespace zorv::optimizer
