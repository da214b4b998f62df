#include "optimizer/symmetric_eigen.hpp"

#include <cmath>

namespace zorv::optimizer {
namespace {

// Sweeps end when every off-diagonal element is below this fraction of the
// geometric mean of its two diagonal elements (about 1e-12): the sampling
// needs no more, and the last sweeps to rounding level would cost as much
// as all the others, as rotations keep stirring up rounding noise.
constexpr double negligible = 0x1p-40;
constexpr int max_sweeps = 64;

// a = basis^T c basis, each sum in ascending order, made exactly symmetric.
void rotate_into_basis(const double* c, const double* basis, double* a, double* cb,
                       std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                const double cik = i <= k ? c[i * n + k] : c[k * n + i];
                sum = sum + cik * basis[k * n + j];
            }
            cb[i * n + j] = sum;
        }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < n; ++k) sum = sum + basis[k * n + i] * cb[k * n + j];
            a[i * n + j] = sum;
            a[j * n + i] = sum;
        }
}

}  // namespace

int symmetric_eigen(const double* c, double* basis, double* values, double* work,
                    std::size_t n) {
    double* a = work;
    rotate_into_basis(c, basis, a, work + n * n, n);
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
                a[p * n + p] = app - t * apq;
                a[q * n + q] = aqq + t * apq;
                a[p * n + q] = a[q * n + p] = 0.0;
                for (std::size_t r = 0; r < n; ++r) {
                    if (r != p && r != q) {
                        const double arp = a[r * n + p], arq = a[r * n + q];
                        const double new_p = cosine * arp - sine * arq;
                        const double new_q = sine * arp + cosine * arq;
                        a[r * n + p] = a[p * n + r] = new_p;
                        a[r * n + q] = a[q * n + r] = new_q;
                    }
                    const double bp = basis[r * n + p], bq = basis[r * n + q];
                    basis[r * n + p] = cosine * bp - sine * bq;
                    basis[r * n + q] = sine * bp + cosine * bq;
                }
            }
    }
    for (std::size_t i = 0; i < n; ++i) values[i] = a[i * n + i];
    return sweeps;
}

}  // namespace zorv::optimizer
