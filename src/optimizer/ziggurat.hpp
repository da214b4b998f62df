// The ziggurat behind the optimizer's normal samples, shared by the scalar
// and the vector draw: the layer tables, the slow path that a first try
// hands over to, and the draws of the streams that one fill of samples
// takes (normals.hpp), one sample at a time and in the lanes of AVX-512.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "optimizer/xoshiro256.hpp"

namespace zorv::optimizer {

// 256 layers of equal area under exp(-x^2 / 2). width[i] is layer i's
// right edge (width[0] the base layer's width if it were a rectangle);
// height[i] the density there; width[256] = 0.
struct ZigguratLayers {
    static constexpr int count = 256;
    std::array<double, count + 1> width;
    std::array<double, count + 1> height;
    // Over the wedge of layer i (1 to count - 1), x in [width[i + 1],
    // width[i]], two lines through x = width[i] hold the density between
    // them, a margin of 2^-40 of the wedge's highest density away from it:
    // y below the first line lies under the density, y at or above the
    // second does not, and only a point between them needs the density
    // itself (an exp). The tangent and the chord: the density is convex
    // beyond x = 1 and concave within; in the layer across x = 1 they
    // decide nothing.
    std::array<double, count> lower_at_edge, lower_slope;
    std::array<double, count> upper_at_edge, upper_slope;
};

const ZigguratLayers& ziggurat_layers();  // built once, on first use

// exp(-x^2 / 2), fixed_exp's bits: the density that the layers stack under.
double ziggurat_density(double x);

// The two lines of a layer's wedge at x.
inline double wedge_lower(const ZigguratLayers& l, int layer, double x) {
    return l.lower_at_edge[layer] + l.lower_slope[layer] * (x - l.width[layer]);
}
inline double wedge_upper(const ZigguratLayers& l, int layer, double x) {
    return l.upper_at_edge[layer] + l.upper_slope[layer] * (x - l.width[layer]);
}

// 53 random bits as a double in [0, 1): converted as a signed integer,
// which is one instruction.
inline double unit(std::uint64_t bits) {
    return static_cast<double>(static_cast<std::int64_t>(bits >> 11)) * 0x1p-53;
}

// x with its sign bit flipped where bit 8 of `bits` is set: a random sign
// without a branch, which would be mispredicted half the time.
inline double with_sign(double x, std::uint64_t bits) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) ^ ((bits & 0x100) << 55));
}

// A first try takes one draw, `bits`: its low 8 bits pick the layer, bit 8
// the sign, the top 53 the point x = unit(bits) * width[layer], which is
// taken where x < width[layer + 1] (about 99 % of tries).
inline double first_try_point(std::uint64_t bits, const ZigguratLayers& l) {
    return unit(bits) * l.width[bits & 0xff];
}
inline bool first_try_taken(double x, std::uint64_t bits, const ZigguratLayers& l) {
    return x < l.width[(bits & 0xff) + 1];
}

// The sample whose first try `bits` gave x and was not taken: the tail,
// the wedge test, or new tries, drawing on from `generator`.
double after_first_try(Xoshiro256& generator, std::uint64_t bits, double x,
                       const ZigguratLayers& l);

// The streams of one fill: sample i comes from stream i % normal_streams,
// each stream drawn in order, so that a vector unit can draw one sample
// from each at once.
constexpr std::size_t normal_streams = 8;
using StreamsOfAFill = Xoshiro256[normal_streams];

// The next `count` samples of one stream, in order, one at a time.
void draw_normals(Xoshiro256& stream, double* out, std::size_t count);
// Samples first..count-1 of a fill from its streams, one at a time.
void fill_normals_from_streams(StreamsOfAFill& streams, double* out, std::size_t first,
                               std::size_t count);
// All `count` samples of a fill from its streams: one at a time (the
// portable and the AVX2 builds' draw), and with eight AVX-512 lanes
// (normals_avx512.cpp), the same samples.
void fill_normals_one_at_a_time(StreamsOfAFill& streams, double* out, std::size_t count);
void fill_normals_avx512(StreamsOfAFill& streams, double* out, std::size_t count);

}  // namespace zorv::optimizer
