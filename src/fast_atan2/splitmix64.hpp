// A small, fast 64-bit generator (splitmix64) for seeded test inputs.
#pragma once

#include <cstdint>

#include "simd/isa.hpp"

namespace zorv::fast_atan2 {
inline namespace ZORV_ISA {

struct SplitMix64 {
    std::uint64_t state;

    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // [0, 1) with 53 random bits.
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
};

}  // namespace ZORV_ISA
}  // namespace zorv::fast_atan2
