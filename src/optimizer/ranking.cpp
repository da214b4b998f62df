#include "optimizer/ranking.hpp"

#include <algorithm>
#include <array>
#include <bit>
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

}  // namespace

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
