#include "optimizer/products.hpp"

#include <cstdlib>

#include "sim/cpu_support.hpp"

namespace zorv::optimizer {
namespace {

bool switched_on(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] != '\0';
}

ProductsBuild choose_build() {
    if (switched_on("ZORV_FAST_NO_SIMD")) return ProductsBuild::portable;
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    if (avx2 && !switched_on("ZORV_FAST_NO_AVX512") &&
        sim::avx512_support() == sim::Avx512Support::usable)
        return ProductsBuild::avx512;
    // AVX2 needs the system to save the 256-bit registers, which every
    // system that reports AVX2 to user code does.
    return avx2 ? ProductsBuild::avx2 : ProductsBuild::portable;
}

}  // namespace

ProductsBuild products_build() {
    static const ProductsBuild build = choose_build();
    return build;
}

const Products& products() {
    switch (products_build()) {
        case ProductsBuild::avx512: return builds::avx512;
        case ProductsBuild::avx2: return builds::avx2;
        case ProductsBuild::portable: break;
    }
    return builds::portable;
}

const char* products_build_name(ProductsBuild build) {
    switch (build) {
        case ProductsBuild::avx512: return "avx512";
        case ProductsBuild::avx2: return "avx2";
        case ProductsBuild::portable: break;
    }
    return "portable";
}

}  // namespace zorv::optimizer
