// The optimizer's random numbers: xoshiro256** and standard normal samples
// drawn from it with a ziggurat whose tables are built with fixed_exp and
// fixed_log, so that every machine draws the same samples from one state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "optimizer/split.hpp"

namespace zorv::optimizer {

struct Xoshiro256 {
    std::array<std::uint64_t, 4> state;  // never all zero

    std::uint64_t next() {
        const std::uint64_t result = rotate_left(state[1] * 5, 7) * 9;
        const std::uint64_t t = state[1] << 17;
        state[2] ^= state[0];
        state[3] ^= state[1];
        state[1] ^= state[2];
        state[0] ^= state[3];
        state[2] ^= t;
        state[3] = rotate_left(state[3], 45);
        return result;
    }

private:
    static std::uint64_t rotate_left(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
};

// Fills `out` with standard normal samples, advancing `generator` by 32
// draws: those seed `normal_streams` streams, and sample i comes from
// stream i % normal_streams, each stream drawn in order. The streams let a
// vector unit draw one sample from each at once; every build gives the
// same samples.
constexpr std::size_t normal_streams = 8;

// One fill's streams, seeded from `generator` as fill_normals seeds them,
// to be drawn in stretches: each draw() gives the fill's next `count`
// samples, so a fill drawn in stretches that are multiples of
// normal_streams (all but the last) gives fill_normals' samples, in the
// lanes where the CPU has them.
class NormalStreams {
public:
    explicit NormalStreams(Xoshiro256& generator);
    void draw(double* out, std::size_t count);
    Xoshiro256 (&streams())[normal_streams] { return streams_; }

private:
    Xoshiro256 streams_[normal_streams];
};

void fill_normals(Xoshiro256& generator, double* out, std::size_t count);
// The same samples, the streams shared out among the split's pieces (at
// most eight): each stream is drawn by one piece, in order.
ZORV_SHARED_API void fill_normals(Xoshiro256& generator, double* out, std::size_t count,
                                  const Split& split);

// fill_normals after the seeding: samples first..count-1 one at a time,
// and all samples with eight AVX-512 lanes (for CPUs that have them).
void fill_normals_from_streams(Xoshiro256 (&streams)[normal_streams], double* out,
                               std::size_t first, std::size_t count);
// The next `count` samples of one stream, in order, one at a time.
void draw_normals(Xoshiro256& stream, double* out, std::size_t count);
void fill_normals_avx512(Xoshiro256 (&streams)[normal_streams], double* out, std::size_t count);

}  // namespace zorv::optimizer
