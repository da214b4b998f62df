// Built into the tests and the benchmarks only (see fast_atan2_survey.hpp).
#include "fast_atan2_survey.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include "fast_atan2/bounds.hpp"

namespace zorv::fast_atan2 {
namespace {

constexpr double inf = __builtin_inf();
constexpr double nan = __builtin_nan("");
constexpr double special_values[] = {
    0.0, -0.0, inf, -inf, nan, -nan, std::bit_cast<double>(0x7ff4000000000001ULL),
    0x1p-1074, -0x1p-1074, 0x1.fffffffffffffp-1023, 0x1p-1022, -0x1p-1022,
    0x1.fffffffffffffp1023, -0x1.fffffffffffffp1023, 0x1p1000, 0x1p-1000,
    0x1p-450, 0x1.fffffffffffffp-451, 0x1p450, 0x1.0000000000001p450, -0x1p450,
    1.0, -1.0, 0x1.0000000000001p0, 0x1.fffffffffffffp-1,
};

}  // namespace

using namespace atan2_draws;

Atan2Input draw_atan2_input(Atan2Family family, SplitMix64& r) {
    switch (family) {
    case Atan2Family::tiny: {
        const double y = random_sign(r, one_to_two(r) * std::ldexp(1.0, -between(r, 10, 1080)));
        const double x = random_sign(r, one_to_two(r) * std::ldexp(1.0, -between(r, 10, 1080)));
        return {y, x};
    }
    case Atan2Family::wide: {
        const double y = random_sign(r, one_to_two(r) * std::ldexp(1.0, between(r, -1074, 1023)));
        const double x = random_sign(r, one_to_two(r) * std::ldexp(1.0, between(r, -1074, 1023)));
        return {y, x};
    }
    case Atan2Family::special: {
        const std::span<const double> specials = fast_atan2_special_values();
        const double s = specials[r.next() % specials.size()];
        const double other = (r.next() & 1)
                                 ? specials[r.next() % specials.size()]
                                 : random_sign(r, one_to_two(r) * std::ldexp(1.0, between(r, -30, 30)));
        return one_of_two_ways(r, s, other);
    }
    case Atan2Family::near_horizontal: {
        const double x = random_sign(r, link_length(r));
        return {x * 1e-3 * (2.0 * r.unit() - 1.0), x};
    }
    default:
        break;
    }
    return draw_checked_atan2_input(family, r);
}

std::span<const double> fast_atan2_special_values() { return special_values; }

namespace {

struct Reduced {
    bool right;  // x > 0 and |y| < |x|
    double u;
};

Reduced reduce(double y, double x) {
    const double a = std::fabs(x), b = std::fabs(y);
    return {x > 0 && b < a, b < a ? b / a : a / b};
}

}  // namespace

int atan2_region(double y, double x) {
    const Reduced r = reduce(y, x);
    // The first region of the side whose upper end lies above u; the last
    // takes the rest.
    const int first = r.right ? 0 : atan2_bounds::right_region_count;
    const int last = r.right ? atan2_bounds::right_region_count - 1 : atan2_bounds::region_count - 1;
    int i = first;
    while (i < last && !(r.u < atan2_bounds::region(i).u_below)) ++i;
    return i;
}

double atan2_library_bound(double y, double x, double angle) {
    const Reduced r = reduce(y, x);
    return atan2_bounds::library_bound(r.right, r.u, std::fabs(angle));
}

}  // namespace zorv::fast_atan2
