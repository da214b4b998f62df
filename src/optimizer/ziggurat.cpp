#include "optimizer/ziggurat.hpp"

#include <cmath>

#include "optimizer/fixed_math.hpp"

namespace zorv::optimizer {
namespace {

// The base layer reaches to the tail's start; every layer has the same
// area (the base layer's includes the tail).
constexpr double tail_start = 3.6541528853610088;
constexpr double layer_area = 0.00492867323399;

// The lines that hold the density between them over each layer's wedge
// (see ZigguratLayers).
void bound_wedges(ZigguratLayers& l) {
    for (int i = 1; i < ZigguratLayers::count; ++i) {
        const double inner = l.width[i + 1], outer = l.width[i];
        const double top = l.height[i + 1], bottom = l.height[i];
        const double margin = 0x1p-40 * top;  // far above the lines' rounding and exp's
        const double chord = (top - bottom) / (inner - outer);
        if (inner >= 1.0) {
            // Convex: the tangent at the outer edge below, the chord above.
            l.lower_at_edge[i] = bottom - margin;
            l.lower_slope[i] = -outer * bottom;
            l.upper_at_edge[i] = bottom + margin;
            l.upper_slope[i] = chord;
        } else if (outer <= 1.0) {
            // Concave: the chord below, the tangent at the inner edge above.
            const double tangent = -inner * top;
            l.lower_at_edge[i] = bottom - margin;
            l.lower_slope[i] = chord;
            l.upper_at_edge[i] = top + tangent * (outer - inner) + margin;
            l.upper_slope[i] = tangent;
        } else {
            // Across the inflection: y, at least `bottom`, is never below
            // the first line, nor ever at the second.
            l.lower_at_edge[i] = 0.0;
            l.lower_slope[i] = 0.0;
            l.upper_at_edge[i] = HUGE_VAL;
            l.upper_slope[i] = 0.0;
        }
    }
}

ZigguratLayers build_layers() {
    ZigguratLayers l{};
    constexpr int count = ZigguratLayers::count;
    l.width[0] = layer_area / ziggurat_density(tail_start);
    l.width[1] = tail_start;
    for (int i = 1; i < count - 1; ++i) {
        const double inner = layer_area / l.width[i] + ziggurat_density(l.width[i]);
        l.width[i + 1] = inner < 1.0 ? std::sqrt(-2.0 * fixed_log(inner)) : 0.0;
    }
    l.width[count] = 0.0;
    for (int i = 0; i <= count; ++i) l.height[i] = ziggurat_density(l.width[i]);
    l.height[0] = 0.0;  // the base layer starts at the axis
    bound_wedges(l);
    return l;
}

// (0, 1]: never 0, so that its log is finite.
double open_unit(Xoshiro256& generator) {
    return static_cast<double>(static_cast<std::int64_t>((generator.next() >> 11) + 1)) * 0x1p-53;
}

double normal(Xoshiro256& generator, const ZigguratLayers& l) {
    const std::uint64_t bits = generator.next();
    const double x = first_try_point(bits, l);
    if (first_try_taken(x, bits, l)) [[likely]]
        return with_sign(x, bits);
    return after_first_try(generator, bits, x, l);
}

}  // namespace

double ziggurat_density(double x) { return fixed_exp(-0.5 * x * x); }

const ZigguratLayers& ziggurat_layers() {
    static const ZigguratLayers tables = build_layers();
    return tables;
}

double after_first_try(Xoshiro256& generator, std::uint64_t bits, double x,
                       const ZigguratLayers& l) {
    for (;;) {
        const int layer = static_cast<int>(bits & 0xff);
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
        if (y < wedge_lower(l, layer, x) ||
            (y < wedge_upper(l, layer, x) && y < ziggurat_density(x)))
            return with_sign(x, bits);
        bits = generator.next();  // a new try
        x = first_try_point(bits, l);
        if (first_try_taken(x, bits, l)) return with_sign(x, bits);
    }
}

void fill_normals_from_streams(StreamsOfAFill& streams, double* out, std::size_t first,
                               std::size_t count) {
    const ZigguratLayers& l = ziggurat_layers();
    for (std::size_t i = first; i < count; ++i) out[i] = normal(streams[i % normal_streams], l);
}

void draw_normals(Xoshiro256& stream, double* out, std::size_t count) {
    const ZigguratLayers& l = ziggurat_layers();
    for (std::size_t j = 0; j < count; ++j) out[j] = normal(stream, l);
}

void fill_normals_one_at_a_time(StreamsOfAFill& streams, double* out, std::size_t count) {
    fill_normals_from_streams(streams, out, 0, count);
}

}  // namespace zorv::optimizer
