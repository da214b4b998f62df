#include "optimizer/products.hpp"

#include "sim/cpu_support.hpp"
#include "sim/run.hpp"

namespace zorv::optimizer {
namespace {

// From the inputs the scoring path is chosen from (the core library reads
// the CPU and the switches once per process), so that the switches mean the
// same for the products as for the scores.
ProductsBuild choose_build(const sim::BatchPathInputs& in) {
    if (in.no_simd) return ProductsBuild::portable;
    if (in.avx2 && !in.no_avx512 && in.avx512 == sim::Avx512Support::usable)
        return ProductsBuild::avx512;
    // AVX2 needs the system to save the 256-bit registers, which every
    // system that reports AVX2 to user code does.
    return in.avx2 ? ProductsBuild::avx2 : ProductsBuild::portable;
}

}  // namespace

ProductsBuild products_build() {
    static const ProductsBuild build = choose_build(sim::batch_path_inputs());
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
