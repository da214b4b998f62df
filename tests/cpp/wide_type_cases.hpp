// The free functions of the wide types, applied lane by lane to the same
// inputs on every member of the family: the scalar type here, and the AVX2
// and AVX-512 types in files compiled for them (wide_types_avx2.cpp,
// wide_types_avx512.cpp). test_wide_types.cpp compares the results bit for
// bit, so that a wide type whose select, mask or bit operation differs from
// the scalar one in any lane fails there.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "simd/scalar.hpp"

namespace zorv::test {

// The inputs: a multiple of every width, with signed zeros, infinities, NaN,
// subnormals, ties for the rounding, and words of all sizes below 2^53 (the
// range as_double promises) with high bits set apart from them.
struct WideCaseInputs {
    static constexpr int count = 16;
    std::array<double, count> a, b;
    std::array<std::uint64_t, count> words;
};

// One row per function, one result (or mask bit) per input.
enum WideCase {
    add, subtract, multiply, divide, negate, root, nearest, magnitude_of, sign_bit, flipped, unit_sign,
    less, less_equal, greater, greater_equal, nan, mask_either, mask_both, mask_exactly_one,
    selected, kept_where, kept_where_not, ulp, power_of_two, table_first, table_second,
    neighbour_first, neighbour_second, word_sum, word_xor, word_and, word_shifted_left,
    word_shifted_right, word_rotated, word_as_double, word_bits, word_stored, lane_set,
    case_count
};
using WideCaseResults = std::array<std::array<std::uint64_t, WideCaseInputs::count>, case_count>;

WideCaseResults wide_cases_scalar(const WideCaseInputs& in);
WideCaseResults wide_cases_avx2(const WideCaseInputs& in);
WideCaseResults wide_cases_avx512(const WideCaseInputs& in);

inline namespace ZORV_ISA {

// A table of pairs and of values for look_up and look_up_neighbours.
alignas(64) inline constexpr double pair_table[4][2] = {{1.0, -1.0}, {2.5, 0x1p-60}, {-0.0, 3.0}, {7.0, 8.0}};
inline constexpr double neighbour_table[5] = {0.5, -2.0, 1e300, 0x1p-1074, 9.0};

template <class Double, class Words>
WideCaseResults run_wide_cases(const WideCaseInputs& in) {
    using namespace simd;
    constexpr int width = width_of<Double>;
    WideCaseResults out{};
    for (int first = 0; first < WideCaseInputs::count; first += width) {
        const auto put = [&](WideCase row, Double v) {
            for (int i = 0; i < width; ++i) out[row][first + i] = std::bit_cast<std::uint64_t>(lane(v, i));
        };
        const auto put_words = [&](WideCase row, Words v) {
            for (int i = 0; i < width; ++i) out[row][first + i] = lane(v, i);
        };
        const auto put_mask = [&](WideCase row, auto m) {
            for (int i = 0; i < width; ++i) out[row][first + i] = (lane_bits(m) >> i) & 1u;
        };
        const Double a = load<Double>(in.a.data() + first), b = load<Double>(in.b.data() + first);
        Words w(std::uint64_t{0}), small(std::uint64_t{0});
        std::array<double, width> whole;
        for (int i = 0; i < width; ++i) {
            set_lane(w, i, in.words[first + i]);
            set_lane(small, i, in.words[first + i] % 4);
            whole[i] = static_cast<double>(in.words[first + i] % 4);
        }
        const Double index = from_lanes<Double>(whole);
        put(add, a + b);
        put(subtract, a - 1.5);
        put(multiply, 3.0 * a * b);
        put(divide, a / b);
        put(negate, -a);
        put(root, square_root(a));
        put(nearest, nearest_integer(a));
        put(magnitude_of, magnitude(a));
        put(sign_bit, sign_of(a));
        put(flipped, sign_flipped(a, sign_of(b)));
        put(unit_sign, unit_with_sign_of(a));
        put_mask(less, a < b);
        put_mask(less_equal, a <= b);
        put_mask(greater, a > 0.0);
        put_mask(greater_equal, a >= b);
        put_mask(nan, is_nan(a));
        put_mask(mask_either, either(a < b, is_nan(b)));
        put_mask(mask_both, both(a <= b, b > 1.0));
        put_mask(mask_exactly_one, exactly_one(a < 0.0, b < 0.0));
        put(selected, select(a < b, a, b));
        put(kept_where, where(a > b, a));
        put(kept_where_not, where_not(a > b, a));
        put(ulp, ulp_of_positive(magnitude(a)));
        put_mask(power_of_two, is_power_of_two(a));
        const Pair<Double> entry = look_up(pair_table, index);
        put(table_first, entry.first);
        put(table_second, entry.second);
        const Pair<Double> neighbours = look_up_neighbours(neighbour_table, small);
        put(neighbour_first, neighbours.first);
        put(neighbour_second, neighbours.second);
        put_words(word_sum, w + small);
        put_words(word_xor, w ^ (w + 1));
        put_words(word_and, w & 0xff);
        put_words(word_shifted_left, shift_left<17>(w));
        put_words(word_shifted_right, shift_right<11>(w));
        put_words(word_rotated, rotate_left<45>(w));
        put(word_as_double, as_double(shift_right<11>(w)));
        put(word_bits, bits_as_double(w));
        std::array<std::uint64_t, width> stored;
        store(stored.data(), rotate_left<45>(w));
        for (int i = 0; i < width; ++i) out[word_stored][first + i] = stored[i];
        // The lanes of odd words changed, one at a time.
        Double changed = a;
        for (int i = 0; i < width; ++i) {
            if (in.words[first + i] % 2 == 1) set_lane(changed, i, -7.25 * lane(b, i));
        }
        put(lane_set, changed);
    }
    return out;
}

}  // namespace ZORV_ISA
}  // namespace zorv::test
