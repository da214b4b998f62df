#include "optimizer/products.hpp"

#include <algorithm>
#include <memory>

#include "sim/cpu_support.hpp"
#include "sim/run.hpp"

namespace zorv::optimizer {
namespace {

// From the inputs the scoring path is chosen from (the core library reads
// the CPU and the switches once per process), so that the switches mean the
// same for the products as for the scores.
ProductsBuild choose_build(const sim::BatchPathInputs& in) {
    if (in.no_simd) return ProductsBuild::portable;
    if (in.avx2 && !in.no_avx512 && in.avx512 == sim::Avx512Support::usable)
        return ProductsBuild::avx512;
    // AVX2 needs the system to save the 256-bit registers, which every
    // system that reports AVX2 to user code does.
    return in.avx2 ? ProductsBuild::avx2 : ProductsBuild::portable;
}

}  // namespace

ProductsBuild products_build() {
    static const ProductsBuild build = choose_build(sim::batch_path_inputs());
    return build;
}

const Products& products() {
    switch (products_build()) {
        case ProductsBuild::avx512: return builds::avx512;
        case ProductsBuild::avx2: return builds::avx2;
        case ProductsBuild::portable: break;
    }
    return builds::portable;
}

void row_dots(const Products& kernels, const double* x, const double* y, double* out,
              std::size_t rows, std::size_t n, const Split& split) {
    const std::size_t doubles = row_dots_work(n);  // each piece's own
    const auto work = std::make_unique_for_overwrite<double[]>(split.pieces() * doubles);
    split.run([&](std::size_t p) {
        const auto [first, end] = split.rows_of(p, rows);
        if (first == end) return;
        kernels.row_dots(x + first * n, y + first * n, out + first, end - first, n,
                         reinterpret_cast<double (*)[8]>(work.get() + p * doubles));
    });
}

std::size_t outer_sum_first_row(std::size_t p, std::size_t pieces, std::size_t n) {
    // In groups of four rows, which the kernel computes together (a row on
    // its own reads as much as four).
    const std::size_t blocks = (n + 7) / 8;
    const auto cost = [&](std::size_t i) { return blocks - i / 8; };
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; i += 4) total += cost(i);
    const std::size_t wanted = total * p / pieces;
    std::size_t i = 0;
    // Up to the group boundary nearest to the wanted share.
    for (std::size_t before = 0; i < n && 2 * before + cost(i) <= 2 * wanted; i += 4) before += cost(i);
    return std::min(i, n);
}

void weighted_outer_sum(const Products& kernels, const double* w, const double* y, double* sum,
                        std::size_t rows, std::size_t n, double* work, const Split& split) {
    split.run([&](std::size_t p) {
        kernels.outer_sum_rows(w, y, sum, rows, n, outer_sum_first_row(p, split.pieces(), n),
                               outer_sum_first_row(p + 1, split.pieces(), n),
                               work + p * outer_sum_work(n));
    });
}

const char* products_build_name(ProductsBuild build) {
    switch (build) {
        case ProductsBuild::avx512: return "avx512";
        case ProductsBuild::avx2: return "avx2";
        case ProductsBuild::portable: break;
    }
    return "portable";
}

}  // namespace zorv::optimizer
