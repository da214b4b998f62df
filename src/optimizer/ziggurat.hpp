// The ziggurat behind the optimizer's normal samples, shared by the scalar
// and the vector draw: the layer tables and the slow path that a first try
// hands over to.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "optimizer/normals.hpp"

namespace zorv::optimizer {

// 256 layers of equal area under exp(-x^2 / 2). width[i] is layer i's
// right edge (width[0] the base layer's width if it were a rectangle);
// height[i] the density there; width[256] = 0.
struct ZigguratLayers {
    static constexpr int count = 256;
    std::array<double, count + 1> width;
    std::array<double, count + 1> height;
};

const ZigguratLayers& ziggurat_layers();  // built once, on first use

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

}  // namespace zorv::optimizer
