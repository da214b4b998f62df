#include "optimizer/normals.hpp"

#include <bit>
#include <cmath>

#include "optimizer/fixed_math.hpp"

namespace zorv::optimizer {
namespace {

// 256 layers of equal area under exp(-x^2 / 2): the base layer reaches to
// the tail's start `tail_start`, each layer has area `layer_area` (the base
// layer's includes the tail).
constexpr int layer_count = 256;
constexpr double tail_start = 3.6541528853610088;
constexpr double layer_area = 0.00492867323399;

double density(double x) { return fixed_exp(-0.5 * x * x); }

// width[i] is layer i's right edge (width[0] the base layer's width if it
// were a rectangle); height[i] = density(width[i]); width[256] = 0.
struct Layers {
    std::array<double, layer_count + 1> width;
    std::array<double, layer_count + 1> height;

    Layers() {
        width[0] = layer_area / density(tail_start);
        width[1] = tail_start;
        for (int i = 1; i < layer_count - 1; ++i) {
            const double inner = layer_area / width[i] + density(width[i]);
            width[i + 1] = inner < 1.0 ? std::sqrt(-2.0 * fixed_log(inner)) : 0.0;
        }
        width[layer_count] = 0.0;
        for (int i = 0; i <= layer_count; ++i) height[i] = density(width[i]);
        height[0] = 0.0;  // the base layer starts at the axis
    }
};

const Layers& layers() {
    static const Layers tables;  // built once, on first use
    return tables;
}

// (0, 1]: never 0, so that its log is finite.
double open_unit(Xoshiro256& generator) {
    return static_cast<double>(static_cast<std::int64_t>((generator.next() >> 11) + 1)) * 0x1p-53;
}

// 53 random bits as a double in [0, 1): converted as a signed integer,
// which is one instruction.
double unit(std::uint64_t bits) {
    return static_cast<double>(static_cast<std::int64_t>(bits >> 11)) * 0x1p-53;
}

// x with its sign bit flipped where bit 8 of `bits` is set: a random sign
// without a branch, which would be mispredicted half the time.
double with_sign(double x, std::uint64_t bits) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) ^ ((bits & 0x100) << 55));
}

double normal(Xoshiro256& generator, const Layers& l) {
    for (;;) {
        const std::uint64_t bits = generator.next();
        const int layer = static_cast<int>(bits & 0xff);
        const double x = unit(bits) * l.width[layer];
        if (x < l.width[layer + 1]) [[likely]]
            return with_sign(x, bits);
        if (layer == 0) {
            // The tail beyond tail_start (Marsaglia's method).
            double a = 0.0, b = 0.0;
            do {
                a = -fixed_log(open_unit(generator)) / tail_start;
                b = -fixed_log(open_unit(generator));
            } while (b + b < a * a);
            return with_sign(tail_start + a, bits);
        }
        const double below = l.height[layer];
        const double y = below + unit(generator.next()) * (l.height[layer + 1] - below);
        if (y < density(x)) return with_sign(x, bits);
    }
}

}  // namespace

void fill_normals(Xoshiro256& generator, double* out, std::size_t count) {
    const Layers& l = layers();
    for (std::size_t i = 0; i < count; ++i) out[i] = normal(generator, l);
}

}  // namespace zorv::optimizer
