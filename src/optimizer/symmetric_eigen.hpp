// Eigendecomposition of a symmetric matrix by cyclic Jacobi rotations in a
// fixed sweep order: the same bits on every machine.
#pragma once

#include <cstddef>

#include "support/shared_api.hpp"

namespace zorv::optimizer {

// Decomposes the symmetric n x n matrix c (its upper triangle is read),
// starting from the orthonormal basis in `basis` (columns): a basis that
// nearly diagonalises c, such as the last decomposition's, needs few sweeps.
// On return `basis` holds the eigenvectors as columns and values[i] the
// eigenvalue of column i. `work` holds symmetric_eigen_work(n) doubles. Returns the sweeps
// taken.
constexpr std::size_t symmetric_eigen_work(std::size_t n) { return 3 * n * n + 8 * n; }

ZORV_SHARED_API int symmetric_eigen(const double* c, double* basis, double* values,
                                    double* work, std::size_t n);

}  // namespace zorv::optimizer
