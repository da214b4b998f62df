// The link angles of a step through the fast atan2 (fast_atan2.hpp) on
// registers of a wide type: all the registers of a step in one call, which
// leaves the few lanes it hands to the C library to a single test. Taken
// only where the agreement check of that width passed in this process.
//
// A lane type as wide as the registers hands over its own; the one-lane
// type fills them with the angles of a step, a register's width at a time
// (the lanes past the last angle compute atan2(1, 1)), built from the values
// in registers: a wide load of narrow stores would wait for them to reach
// the cache, on the chain that one lane waits on.
//
// Where the wide type has the exact products (an instruction set with FMA
// instructions of its own, such as AVX-512), the kernel is inlined into the
// step. Where FMA is an extension of the instruction set (AVX2), the step's
// file is compiled without it, so that nothing in the step can be fused, and
// the kernel is entered out of line, through `OutOfLineKernel`, in a file
// of its own compiled with FMA. (Where the kernel runs is a type, not a
// pointer that may be null: sanitized builds cannot compare a function's
// address with null at compile time.)
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

#include "fast_atan2/kernel.hpp"
#include "simd/scalar.hpp"
#include "simd/isa_file.hpp"

namespace zorv::fast_atan2 {

// out[i] = atan2(y[i], x[i]) for `count` registers' worth of lanes, laid out
// as the registers of the kernel's width (and aligned like them); out must
// not overlap y or x.
using FastAtan2Kernel = void (*)(const double* y, const double* x, double* out, std::size_t count);

inline namespace ZORV_ISA {

using simd::lane;
using simd::width_of;

template <class Wide>
concept HasExactProducts = requires(Wide a) {
    product_error(a, a, a);
    division_remainder(a, a, a);
};

// The kernel compiled into the step's own file.
struct InlineKernel {};
// The kernel entered through `function`, compiled in a file of its own.
template <FastAtan2Kernel function>
struct OutOfLineKernel {
    static constexpr FastAtan2Kernel run = function;
};

template <class Wide, class Kernel = InlineKernel>
struct FastAtan2Angles {
    static constexpr bool out_of_line = !std::is_same_v<Kernel, InlineKernel>;
    static_assert(HasExactProducts<Wide> || out_of_line,
                  "without FMA in this file, the kernel must be entered out of line");

    template <class T, std::size_t n>
    static std::array<T, n> of(const std::array<T, n>& dy, const std::array<T, n>& dx) {
        constexpr std::size_t width = Wide::width;
        std::array<T, n> angle;
        if constexpr (std::is_same_v<T, Wide>) {
            registers(dy.data(), dx.data(), angle.data(), n);
        } else {
            static_assert(width_of<T> == 1, "lanes narrower than the registers: one at a time");
            constexpr std::size_t count = (n + width - 1) / width;
            const auto fill = [](const std::array<T, n>& v, std::size_t first) {
                std::array<double, width> values;
                for (std::size_t j = 0; j < width; ++j) values[j] = first + j < n ? lane(v[first + j], 0) : 1.0;
                return Wide(values);
            };
            Wide y[count], x[count];
            // The angles are read back one double at a time from memory,
            // where the kernel left them: taken out of registers lane by
            // lane they would cost a shuffle each.
            alignas(Wide) double out[count * width];
            for (std::size_t r = 0; r < count; ++r) {
                y[r] = fill(dy, width * r);
                x[r] = fill(dx, width * r);
            }
            registers(y, x, reinterpret_cast<Wide*>(out), count);
            for (std::size_t i = 0; i < n; ++i) angle[i] = T(out[i]);
        }
        return angle;
    }

private:
    static void registers(const Wide* y, const Wide* x, Wide* out, std::size_t count) {
        if constexpr (out_of_line) {
            Kernel::run(reinterpret_cast<const double*>(y), reinterpret_cast<const double*>(x),
                        reinterpret_cast<double*>(out), count);
        } else {
            kernel::round_or_defer(y, x, out, count);
        }
    }
};

}  // namespace ZORV_ISA
}  // namespace zorv::fast_atan2
