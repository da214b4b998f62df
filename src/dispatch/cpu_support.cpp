#include "dispatch/cpu_support.hpp"

#ifdef ZORV_X86_LANES
#include <cpuid.h>
#endif

#include <cstdint>

namespace zorv::dispatch {

#ifdef ZORV_X86_LANES
namespace {

// XCR0: SSE and AVX state (bits 1, 2), the mask registers (5), the upper
// halves of zmm0-15 (6) and zmm16-31 (7).
constexpr std::uint64_t avx512_state = 0xe6;

bool system_saves_avx512_state() {
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    if (!(ecx & bit_OSXSAVE)) return false;  // xgetbv would fault
    std::uint32_t low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    const std::uint64_t xcr0 = (std::uint64_t{high} << 32) | low;
    return (xcr0 & avx512_state) == avx512_state;
}

}  // namespace

Avx512Support avx512_support() {
    static const Avx512Support support = [] {
        __builtin_cpu_init();
        if (!(__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
              __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))) {
            return Avx512Support::cpu_lacks;
        }
        if (!system_saves_avx512_state()) return Avx512Support::system_lacks;
        return Avx512Support::usable;
    }();
    return support;
}

#else

// A build without the x86 lanes has no AVX-512 code to run.
Avx512Support avx512_support() { return Avx512Support::cpu_lacks; }

#endif

}  // namespace zorv::dispatch
