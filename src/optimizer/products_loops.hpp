// The loops behind Products, included once per instruction set by
// products_*.cpp. Only the innermost loops vectorise, each across outputs
// that do not depend on each other.
#pragma once

#include <cstddef>

#include "optimizer/products.hpp"

namespace zorv::optimizer::PRODUCTS_ISA {
namespace {

void shape(const double* z, const double* at, double* out, std::size_t rows, std::size_t n) {
    for (std::size_t k = 0; k < rows; ++k) {
        const double* zk = z + k * n;
        double* __restrict ok = out + k * n;
        for (std::size_t i = 0; i < n; ++i) ok[i] = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const double zkj = zk[j];
            const double* __restrict row = at + j * n;
            for (std::size_t i = 0; i < n; ++i) ok[i] = ok[i] + zkj * row[i];
        }
    }
}

void combine(const double* w, const double* x, double* out, std::size_t rows, std::size_t n) {
    double* __restrict o = out;
    for (std::size_t i = 0; i < n; ++i) o[i] = 0.0;
    for (std::size_t k = 0; k < rows; ++k) {
        const double wk = w[k];
        const double* __restrict xk = x + k * n;
        for (std::size_t i = 0; i < n; ++i) o[i] = o[i] + wk * xk[i];
    }
}

void weighted_outer_sum(const double* w, const double* y, double* sum, std::size_t rows,
                        std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i; j < n; ++j) sum[i * n + j] = 0.0;
    for (std::size_t k = 0; k < rows; ++k) {
        const double* __restrict yk = y + k * n;
        for (std::size_t i = 0; i < n; ++i) {
            const double wy = w[k] * yk[i];
            double* __restrict row = sum + i * n;
            for (std::size_t j = i; j < n; ++j) row[j] = row[j] + wy * yk[j];
        }
    }
}

}  // namespace
}  // namespace zorv::optimizer::PRODUCTS_ISA

namespace zorv::optimizer::builds {
const Products PRODUCTS_ISA{PRODUCTS_ISA::shape, PRODUCTS_ISA::combine,
                            PRODUCTS_ISA::weighted_outer_sum};
}  // namespace zorv::optimizer::builds
