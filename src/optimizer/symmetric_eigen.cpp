#include "optimizer/symmetric_eigen.hpp"

#include <cmath>

#include "optimizer/products.hpp"

namespace zorv::optimizer {
namespace {

// Sweeps end when every off-diagonal element is below this fraction of the
// geometric mean of its two diagonal elements (about 1e-12): the sampling
// needs no more, and the last sweeps to rounding level would cost as much
// as all the others, as rotations keep stirring up rounding noise.
constexpr double negligible = 0x1p-40;
constexpr int max_sweeps = 64;

void transpose(const double* from, double* to, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) to[j * n + i] = from[i * n + j];
}

// a = basis^T c basis from c's upper triangle, each sum in ascending order
// of the summed index, made exactly symmetric. `rows` holds basis^T, whose
// rows are the basis vectors; `a` doubles as room for the symmetric c.
void rotate_into_basis(const double* c, const double* rows, double* a, double* cb,
                       double (*lanes)[8], std::size_t n) {
    double* symmetric = a;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < n; ++k) symmetric[i * n + k] = i <= k ? c[i * n + k] : c[k * n + i];
    const Products& kernels = products();
    kernels.shape(rows, symmetric, cb, n, n, lanes);  // cb[j] = c times basis vector j
    kernels.shape(rows, cb, a, n, n, lanes);          // a[i][j] = basis vector i . cb[j]
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) a[j * n + i] = a[i * n + j];
}

}  // namespace

int symmetric_eigen(const double* c, double* basis, double* values, double* work,
                    std::size_t n) {
    // Rotations act on rows, which are contiguous: rows of the symmetric a
    // (its columns follow by copying) and rows of the transposed basis.
    double* a = work;
    double* rows = work + n * n;
    transpose(basis, rows, n);
    rotate_into_basis(c, rows, a, work + 2 * n * n,
                      reinterpret_cast<double (*)[8]>(work + 3 * n * n), n);
    const auto rotate = products().rotate;
    int sweeps = 0;
    for (bool rotated = true; rotated && sweeps < max_sweeps; ++sweeps) {
        rotated = false;
        for (std::size_t p = 0; p + 1 < n; ++p)
            for (std::size_t q = p + 1; q < n; ++q) {
                const double apq = a[p * n + q];
                const double app = a[p * n + p], aqq = a[q * n + q];
                if (std::fabs(apq) <= negligible * std::sqrt(std::fabs(app) * std::fabs(aqq)))
                    continue;
                rotated = true;
                // The rotation that zeroes a[p][q], by its smaller angle.
                const double theta = (aqq - app) / (2.0 * apq);
                const double t =
                    std::fabs(theta) > 1e150
                        ? 0.5 / theta
                        : std::copysign(1.0, theta) /
                              (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double cosine = 1.0 / std::sqrt(t * t + 1.0);
                const double sine = t * cosine;
                // Rows p and q in full; their elements in columns p and q
                // are set below, the others mirrored into the columns.
                rotate(a + p * n, a + q * n, n, cosine, sine);
                for (std::size_t r = 0; r < n; ++r) {
                    a[r * n + p] = a[p * n + r];
                    a[r * n + q] = a[q * n + r];
                }
                a[p * n + p] = app - t * apq;
                a[q * n + q] = aqq + t * apq;
                a[p * n + q] = a[q * n + p] = 0.0;
                rotate(rows + p * n, rows + q * n, n, cosine, sine);
            }
    }
    transpose(rows, basis, n);
    for (std::size_t i = 0; i < n; ++i) values[i] = a[i * n + i];
    return sweeps;
}

}  // namespace zorv::optimizer
