#include "optimizer/ranking.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <memory>
#include <utility>

namespace zorv::optimizer {
namespace {

constexpr int digit_bits = 8;
constexpr std::size_t buckets = std::size_t{1} << digit_bits;
// Digits 4 to 7, the keys' upper half (sign, exponent and 20 bits of the
// significand), tell most values apart; digits 0 to 3 sort only the runs
// that share it.
constexpr int upper_digits = 4;
// Runs up to this long take a comparison sort instead.
constexpr std::size_t short_run = 32;

// An unsigned key in the values' order: the sign bit set for numbers from
// +0 up, every bit flipped for the negative ones (whose magnitudes grow the
// other way), and NaN above everything.
std::uint64_t sort_key(double value) {
    if (value != value) return ~std::uint64_t{0};
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value + 0.0);  // -0 as +0
    return bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
}

std::size_t digit_of(std::uint64_t key, int d) {
    return static_cast<std::size_t>(key >> (d * digit_bits)) & (buckets - 1);
}

struct Ranked {
    std::uint64_t key;
    std::uint64_t index;
};

// Sorts a[0..count) by digits first..first+4 of the key, lowest first,
// moving between a and spare; returns where the sorted run lies. Each pass
// keeps the order of the last among equal digits, so it is stable; a
// digit that all keys share takes no pass.
Ranked* radix_passes(Ranked* a, Ranked* spare, std::size_t count, int first) {
    std::array<std::array<std::size_t, buckets>, upper_digits> counts{};
    for (std::size_t i = 0; i < count; ++i)
        for (int d = 0; d < upper_digits; ++d) ++counts[d][digit_of(a[i].key, first + d)];
    for (int d = 0; d < upper_digits; ++d) {
        std::array<std::size_t, buckets>& starts = counts[d];
        if (starts[digit_of(a[0].key, first + d)] == count) continue;
        std::size_t start = 0;
        for (std::size_t& bucket : starts) start += std::exchange(bucket, start);
        for (std::size_t i = 0; i < count; ++i) spare[starts[digit_of(a[i].key, first + d)]++] = a[i];
        std::swap(a, spare);
    }
    return a;
}

// The value whose key sort_key gives: zeros as +0, NaN as the quiet NaN.
double value_of_key(std::uint64_t key) {
    if (key == ~std::uint64_t{0}) return std::numeric_limits<double>::quiet_NaN();
    return std::bit_cast<double>(key >> 63 ? key & ~(std::uint64_t{1} << 63) : ~key);
}

// The key at `place` of keys[0..count) in ascending order. Digit by digit
// from the top, only the keys that share the digits so far with the one
// sought are kept, moved to the front of `keys` (every key is written, and
// the count moves on where it is kept: no branch).
std::uint64_t key_at_place(std::uint64_t* keys, std::size_t count, std::size_t place) {
    for (int d = 64 / digit_bits - 1; d >= 0 && count > 1; --d) {
        std::array<std::size_t, buckets> counts{};
        for (std::size_t i = 0; i < count; ++i) ++counts[digit_of(keys[i], d)];
        std::size_t bucket = 0;
        while (place >= counts[bucket]) place -= counts[bucket++];
        if (counts[bucket] == count) continue;  // every key shares this digit
        std::size_t kept = 0;
        for (std::size_t i = 0; i < count; ++i) {
            keys[kept] = keys[i];
            kept += digit_of(keys[i], d) == bucket;
        }
        count = kept;
    }
    return keys[0];
}

}  // namespace

std::pair<double, double> values_at_places(const double* values, std::size_t count,
                                           std::size_t first, std::size_t second) {
    const std::unique_ptr<std::uint64_t[]> keys =
        std::make_unique_for_overwrite<std::uint64_t[]>(2 * count);
    for (std::size_t i = 0; i < count; ++i) keys[i] = keys[count + i] = sort_key(values[i]);
    return {value_of_key(key_at_place(keys.get(), count, first)),
            value_of_key(key_at_place(keys.get() + count, count, second))};
}

void stable_order(const double* values, std::size_t count, std::int64_t* order) {
    if (count == 0) return;
    const std::unique_ptr<Ranked[]> memory = std::make_unique_for_overwrite<Ranked[]>(2 * count);
    Ranked* const buffers[2] = {memory.get(), memory.get() + count};
    for (std::size_t i = 0; i < count; ++i) buffers[0][i] = {sort_key(values[i]), i};
    Ranked* const ranked = radix_passes(buffers[0], buffers[1], count, upper_digits);
    Ranked* const spare = ranked == buffers[0] ? buffers[1] : buffers[0];
    // Runs that share the upper half are in index order so far; sorted by
    // the lower half, stably, equal keys stay so.
    const auto upper = [](const Ranked& r) { return r.key >> (upper_digits * digit_bits); };
    for (std::size_t first = 0; first < count;) {
        std::size_t end = first + 1;
        while (end < count && upper(ranked[end]) == upper(ranked[first])) ++end;
        const std::size_t length = end - first;
        if (length > short_run) {
            const Ranked* sorted = radix_passes(ranked + first, spare + first, length, 0);
            if (sorted != ranked + first) std::copy(sorted, sorted + length, ranked + first);
        } else if (length > 1) {
            std::stable_sort(ranked + first, ranked + end,
                             [](const Ranked& a, const Ranked& b) { return a.key < b.key; });
        }
        first = end;
    }
    for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::int64_t>(ranked[i].index);
}

}  // namespace zorv::optimizer
