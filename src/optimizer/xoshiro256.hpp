// The optimizer's random numbers: xoshiro256**, the same words on every
// machine from one state.
#pragma once

#include <array>
#include <cstdint>

namespace zorv::optimizer {

struct Xoshiro256 {
    std::array<std::uint64_t, 4> state;  // never all zero

    std::uint64_t next() {
        const std::uint64_t result = rotate_left(state[1] * 5, 7) * 9;
        const std::uint64_t t = state[1] << 17;
        state[2] ^= state[0];
        state[3] ^= state[1];
        state[1] ^= state[2];
        state[0] ^= state[3];
        state[2] ^= t;
        state[3] = rotate_left(state[3], 45);
        return result;
    }

private:
    static std::uint64_t rotate_left(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
};

}  // namespace zorv::optimizer
