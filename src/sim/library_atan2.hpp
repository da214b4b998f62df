// The link angles of a step from the C library's atan2, lane by lane: the
// scalar run's source, and the lanes' wherever the fast atan2 may not stand
// in for it (src/fast_atan2/angles.hpp is the other source; both give the
// library's bits).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "sim/number.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

struct LibraryAtan2 {
    // angle[i] = atan2(dy[i], dx[i]), lane by lane.
    template <class T, std::size_t n>
    static std::array<T, n> of(const std::array<T, n>& dy, const std::array<T, n>& dx) {
        constexpr int width = width_of<T>;
        std::array<T, n> angle;
        for (std::size_t i = 0; i < n; ++i) {
            alignas(64) double y[width], x[width], a[width];
            store(y, dy[i]);
            store(x, dx[i]);
            for (int j = 0; j < width; ++j) a[j] = std::atan2(y[j], x[j]);
            angle[i] = load<T>(a);
        }
        return angle;
    }
};

}  // namespace ZORV_ISA
}  // namespace zorv::sim
