// The loops behind Products, one template over the wide types of src/simd:
// products_*.cpp each name their instruction set (ZORV_ISA) and instantiate
// it with theirs. Only the innermost loops run across lanes, each across
// outputs that do not depend on each other, every lane rounded on its own
// as a double would be.
#pragma once

#include <algorithm>
#include <cstddef>

#include "optimizer/product_kernels.hpp"
#include "simd/scalar.hpp"

namespace zorv::optimizer {
inline namespace ZORV_ISA {

template <class Register>
struct ProductLoops {
    // Lanes: rows of z (shape) or columns of the sum (weighted_outer_sum)
    // held in registers while the sum over the other index runs, in its
    // order: one AVX-512 register, two of AVX2, or eight plain doubles.
    static constexpr std::size_t lanes = 8;
    static constexpr std::size_t width = simd::width_of<Register>;
    static constexpr std::size_t parts = lanes / width;
    struct Lanes {
        Register part[parts];
    };

    // Zeros in registers: an aggregate's empty braces would clear the
    // array's memory first, as many cycles as a short block's sum.
    static Lanes zeros() {
        Lanes v;
        for (Register& part : v.part) part = Register(0.0);
        return v;
    }

    static Lanes load(const double* p) {
        Lanes v;
        for (std::size_t q = 0; q < parts; ++q) v.part[q] = simd::load<Register>(p + q * width);
        return v;
    }

    // Lane l from p[l * stride].
    static Lanes load_strided(const double* p, std::size_t stride) {
        using simd::set_lane;
        Lanes v = zeros();
        for (std::size_t l = 0; l < lanes; ++l)
            set_lane(v.part[l / width], static_cast<int>(l % width), p[l * stride]);
        return v;
    }

    // The lanes into memory, lane l at p[l]: read back lane by lane from
    // there, cheaper than out of the registers one lane at a time.
    static void store(double* p, const Lanes& v) {
        using simd::store;
        for (std::size_t q = 0; q < parts; ++q) store(p + q * width, v.part[q]);
    }

    // acc + scale * v, lane by lane.
    static void add_product(Lanes& acc, double scale, const Lanes& v) {
        for (std::size_t q = 0; q < parts; ++q) acc.part[q] = acc.part[q] + Register(scale) * v.part[q];
    }

    // acc + a * b, lane by lane.
    static void add_product(Lanes& acc, const Lanes& a, const Lanes& b) {
        for (std::size_t q = 0; q < parts; ++q) acc.part[q] = acc.part[q] + a.part[q] * b.part[q];
    }

    // Rows k0..k0+lanes of the rows x n matrix m, as columns: t[j][l] =
    // m[k0 + l][j], zero below `rows`.
    static void transpose_rows(const double* m, double (*t)[lanes], std::size_t k0,
                               std::size_t rows, std::size_t n) {
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t l = 0; l < lanes; ++l) t[j][l] = k0 + l < rows ? m[(k0 + l) * n + j] : 0.0;
    }

    // out rows k0..k0+lanes (those below `rows`), outputs i0..i0+R.
    template <std::size_t R>
    static void shape_block(const double (*zt)[lanes], const double* a, double* out,
                            std::size_t k0, std::size_t rows, std::size_t i0, std::size_t n) {
        Lanes acc[R];
        for (Lanes& a : acc) a = zeros();
        for (std::size_t j = 0; j < n; ++j) {
            const Lanes ztj = load(zt[j]);
            for (std::size_t r = 0; r < R; ++r) add_product(acc[r], a[(i0 + r) * n + j], ztj);
        }
        double sums[R][lanes];
        for (std::size_t r = 0; r < R; ++r) store(sums[r], acc[r]);
        for (std::size_t l = 0; l < lanes && k0 + l < rows; ++l)
            for (std::size_t r = 0; r < R; ++r) out[(k0 + l) * n + i0 + r] = sums[r][l];
    }

    static void shape(const double* z, const double* a, double* out, std::size_t rows,
                      std::size_t n, double (*zt)[lanes]) {
        for (std::size_t k0 = 0; k0 < rows; k0 += lanes) {
            transpose_rows(z, zt, k0, rows, n);
            std::size_t i0 = 0;
            for (; i0 + 8 <= n; i0 += 8) shape_block<8>(zt, a, out, k0, rows, i0, n);
            for (; i0 + 4 <= n; i0 += 4) shape_block<4>(zt, a, out, k0, rows, i0, n);
            for (; i0 < n; ++i0) shape_block<1>(zt, a, out, k0, rows, i0, n);
        }
    }

    static void row_dots(const double* x, const double* y, double* out, std::size_t rows,
                         std::size_t n, double (*work)[lanes]) {
        std::size_t k0 = 0;
        // Whole groups of rows read each column straight into the lanes; a
        // square (x the same array as y) reads it once.
        for (; k0 + lanes <= rows; k0 += lanes) {
            Lanes acc = zeros();
            const double* xk = x + k0 * n;
            const double* yk = y + k0 * n;
            if (x == y) {
                for (std::size_t j = 0; j < n; ++j) {
                    const Lanes v = load_strided(xk + j, n);
                    add_product(acc, v, v);
                }
            } else {
                for (std::size_t j = 0; j < n; ++j)
                    add_product(acc, load_strided(xk + j, n), load_strided(yk + j, n));
            }
            store(out + k0, acc);
        }
        if (k0 == rows) return;
        double (*xt)[lanes] = work;
        double (*yt)[lanes] = work + n;
        transpose_rows(x, xt, k0, rows, n);
        transpose_rows(y, yt, k0, rows, n);
        Lanes acc = zeros();
        for (std::size_t j = 0; j < n; ++j) add_product(acc, load(xt[j]), load(yt[j]));
        double sums[lanes];
        store(sums, acc);
        for (std::size_t l = 0; k0 + l < rows; ++l) out[k0 + l] = sums[l];
    }

    static void combine(const double* w, const double* x, double* out, std::size_t rows,
                        std::size_t n) {
        double* __restrict o = out;
        for (std::size_t i = 0; i < n; ++i) o[i] = 0.0;
        for (std::size_t k = 0; k < rows; ++k) {
            const double wk = w[k];
            const double* __restrict xk = x + k * n;
            for (std::size_t i = 0; i < n; ++i) o[i] = o[i] + wk * xk[i];
        }
    }

    // sum[i0..i0+R][j0..j0+lanes] over `count` rows of the inputs: wy[k][r]
    // = w[k] * y[k][i0 + r] (rows of wy_stride) and y's rows, padded to
    // `stride`. Unless `first`, it goes on from the sums of the rows before,
    // in `sum`: each output adds its terms in the order of k. Outputs below
    // the diagonal are neither read nor written.
    template <std::size_t R>
    static void outer_block(const double* wy, std::size_t wy_stride, const double* y,
                            std::size_t stride, std::size_t count, bool first, double* sum,
                            std::size_t n, std::size_t i0, std::size_t j0) {
        const auto kept = [&](std::size_t r, std::size_t l) { return j0 + l < n && j0 + l >= i0 + r; };
        Lanes acc[R];
        for (Lanes& a : acc) a = zeros();
        if (!first) {
            for (std::size_t r = 0; r < R; ++r) {
                double so_far[lanes];
                for (std::size_t l = 0; l < lanes; ++l)
                    so_far[l] = kept(r, l) ? sum[(i0 + r) * n + j0 + l] : 0.0;
                acc[r] = load(so_far);
            }
        }
        for (std::size_t k = 0; k < count; ++k) {
            const Lanes yk = load(y + k * stride + j0);
            for (std::size_t r = 0; r < R; ++r) add_product(acc[r], wy[k * wy_stride + r], yk);
        }
        for (std::size_t r = 0; r < R; ++r) {
            double sums[lanes];
            store(sums, acc[r]);
            for (std::size_t l = 0; l < lanes; ++l)
                if (kept(r, l)) sum[(i0 + r) * n + j0 + l] = sums[l];
        }
    }

    // The sum's rows i_begin..i_end, a chunk of the inputs' rows at a time:
    // the chunk's weighted values for these rows, and its rows of y padded
    // to a whole number of lanes where they are not, are made in `work`,
    // and stay in the first-level cache while every block of the sum takes
    // its share of them.
    static void outer_sum_rows(const double* w, const double* y, double* sum, std::size_t rows,
                               std::size_t n, std::size_t i_begin, std::size_t i_end,
                               double* work) {
        const std::size_t stride = (n + lanes - 1) / lanes * lanes;
        const std::size_t columns = i_end - i_begin;
        double* const wy = work;
        double* const padded = wy + outer_sum_rows_per_chunk * n;
        for (std::size_t k_begin = 0; k_begin < rows; k_begin += outer_sum_rows_per_chunk) {
            const std::size_t count = std::min(rows - k_begin, outer_sum_rows_per_chunk);
            const double* const yc = y + k_begin * n;
            for (std::size_t k = 0; k < count; ++k)
                for (std::size_t i = 0; i < columns; ++i)
                    wy[k * columns + i] = w[k_begin + k] * yc[k * n + i_begin + i];
            // Rows whose length is a whole number of lanes are read in place.
            const double* y_lanes = yc;
            if (stride != n) {
                for (std::size_t k = 0; k < count; ++k)
                    for (std::size_t j = 0; j < stride; ++j)
                        padded[k * stride + j] = j < n ? yc[k * n + j] : 0.0;
                y_lanes = padded;
            }
            const bool first = k_begin == 0;
            for (std::size_t j0 = i_begin / lanes * lanes; j0 < n; j0 += lanes) {
                std::size_t i0 = i_begin;
                const std::size_t i_stop = std::min(i_end, j0 + lanes);  // rows that reach this block
                for (; i0 + 8 <= i_stop; i0 += 8)
                    outer_block<8>(wy + (i0 - i_begin), columns, y_lanes, stride, count, first, sum, n, i0, j0);
                for (; i0 + 4 <= i_stop; i0 += 4)
                    outer_block<4>(wy + (i0 - i_begin), columns, y_lanes, stride, count, first, sum, n, i0, j0);
                for (; i0 < i_stop; ++i0)
                    outer_block<1>(wy + (i0 - i_begin), columns, y_lanes, stride, count, first, sum, n, i0, j0);
            }
        }
    }

    static void weighted_outer_sum(const double* w, const double* y, double* sum,
                                   std::size_t rows, std::size_t n, double* work) {
        outer_sum_rows(w, y, sum, rows, n, 0, n, work);
    }

    static void rotate(double* x, double* y, std::size_t n, double c, double s) {
        double* __restrict xr = x;
        double* __restrict yr = y;
        for (std::size_t i = 0; i < n; ++i) {
            const double xi = xr[i], yi = yr[i];
            xr[i] = c * xi - s * yi;
            yr[i] = s * xi + c * yi;
        }
    }

    // Selects, a register at a time, then the rest one by one: the same
    // selects in every lane.
    static void clamp(const double* x, double* out, std::size_t count, double low, double high) {
        using simd::select;
        using simd::store;
        std::size_t k = 0;
        for (; k + width <= count; k += width) {
            Register v = simd::load<Register>(x + k);
            v = select(v < Register(low), Register(low), v);
            v = select(v > Register(high), Register(high), v);
            store(out + k, v);
        }
        for (; k < count; ++k) {
            const double above_low = x[k] < low ? low : x[k];
            out[k] = above_low > high ? high : above_low;
        }
    }

    static constexpr Products table() {
        return {shape, combine, weighted_outer_sum, outer_sum_rows, row_dots, rotate, clamp};
    }
};

}  // namespace ZORV_ISA
}  // namespace zorv::optimizer
