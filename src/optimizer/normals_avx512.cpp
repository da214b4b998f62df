// Eight normal samples at once, one from each stream, in the lanes of
// AVX-512 registers: the streams' words are held across the lanes, and a
// lane whose first try is not taken finishes its sample with the scalar
// slow path on its own stream, so that every sample is the one the scalar
// draw gives.
#include <immintrin.h>

#include <bit>

#include "optimizer/ziggurat.hpp"

namespace zorv::optimizer {
namespace {

static_assert(normal_streams == 8, "one stream per lane of a 512-bit register");

struct StreamLanes {
    __m512i word[4];  // word[w] holds state[w] of every stream

    void load(const Xoshiro256 (&streams)[normal_streams]) {
        for (__m512i& w : word) w = _mm512_setzero_si512();
        for (int lane = 0; lane < 8; ++lane) set_stream(lane, streams[lane]);
    }

    void store(Xoshiro256 (&streams)[normal_streams]) const {
        for (int lane = 0; lane < 8; ++lane) streams[lane] = stream(lane);
    }

    // One lane's stream, out of the registers and back.
    Xoshiro256 stream(int lane) const {
        alignas(64) std::uint64_t words[4][8];
        for (int w = 0; w < 4; ++w) _mm512_store_si512(words[w], word[w]);
        return {{words[0][lane], words[1][lane], words[2][lane], words[3][lane]}};
    }

    void set_stream(int lane, const Xoshiro256& stream) {
        const __mmask8 only = static_cast<__mmask8>(1u << lane);
        for (int w = 0; w < 4; ++w)
            word[w] = _mm512_mask_set1_epi64(word[w], only, static_cast<long long>(stream.state[w]));
    }

    // Xoshiro256::next in every lane; the products by 5 and 9 as shifts
    // and adds, which wrap the same way.
    __m512i next() {
        const __m512i s1 = word[1];
        const __m512i times5 = _mm512_add_epi64(_mm512_slli_epi64(s1, 2), s1);
        const __m512i rotated = _mm512_rol_epi64(times5, 7);
        const __m512i result = _mm512_add_epi64(_mm512_slli_epi64(rotated, 3), rotated);
        const __m512i t = _mm512_slli_epi64(s1, 17);
        word[2] = _mm512_xor_si512(word[2], word[0]);
        word[3] = _mm512_xor_si512(word[3], word[1]);
        word[1] = _mm512_xor_si512(word[1], word[2]);
        word[0] = _mm512_xor_si512(word[0], word[3]);
        word[2] = _mm512_xor_si512(word[2], t);
        word[3] = _mm512_rol_epi64(word[3], 45);
        return result;
    }
};

// width[layer] and width[layer + 1] of each lane's layer: eight loads of
// both at once, which on some CPUs take less time than two gathers.
void layer_edges(__m512i layer, const ZigguratLayers& l, __m512d& width, __m512d& inner) {
    alignas(64) std::uint64_t at[8];
    _mm512_store_si512(at, layer);
    const double* edges = l.width.data();
    __m256d quarter[4];
    for (int q = 0; q < 4; ++q)
        quarter[q] = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(edges + at[2 * q])),
                                          _mm_loadu_pd(edges + at[2 * q + 1]), 1);
    const __m512d low = _mm512_insertf64x4(_mm512_castpd256_pd512(quarter[0]), quarter[1], 1);
    const __m512d high = _mm512_insertf64x4(_mm512_castpd256_pd512(quarter[2]), quarter[3], 1);
    width = _mm512_permutex2var_pd(low, _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), high);
    inner = _mm512_permutex2var_pd(low, _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15), high);
}

}  // namespace

void fill_normals_avx512(Xoshiro256 (&streams)[normal_streams], double* out, std::size_t count) {
    const ZigguratLayers& l = ziggurat_layers();
    const __m512i layer_bits = _mm512_set1_epi64(0xff);
    const __m512i sign_bit = _mm512_set1_epi64(0x100);
    const __m512d scale = _mm512_set1_pd(0x1p-53);
    StreamLanes lanes;
    lanes.load(streams);
    std::size_t done = 0;
    for (; done + 8 <= count; done += 8) {
        const __m512i bits = lanes.next();
        const __m512i layer = _mm512_and_si512(bits, layer_bits);
        __m512d width, inner;
        layer_edges(layer, l, width, inner);
        // first_try_point, lane by lane: (double(bits >> 11) * 2^-53) * width
        const __m512d x = _mm512_mul_pd(
            _mm512_mul_pd(_mm512_cvtepi64_pd(_mm512_srli_epi64(bits, 11)), scale), width);
        const __mmask8 taken = _mm512_cmp_pd_mask(x, inner, _CMP_LT_OQ);
        const __m512i sign = _mm512_slli_epi64(_mm512_and_si512(bits, sign_bit), 55);
        _mm512_storeu_pd(out + done, _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(x), sign)));
        if (taken != 0xff) [[unlikely]] {
            alignas(64) std::uint64_t lane_bits[8];
            alignas(64) double lane_x[8];
            _mm512_store_si512(lane_bits, bits);
            _mm512_store_pd(lane_x, x);
            for (unsigned left = ~taken & 0xffu; left != 0; left &= left - 1) {
                const int lane = std::countr_zero(left);
                Xoshiro256 stream = lanes.stream(lane);
                out[done + lane] = after_first_try(stream, lane_bits[lane], lane_x[lane], l);
                lanes.set_stream(lane, stream);
            }
        }
    }
    lanes.store(streams);
    // The last samples, fewer than the lanes, one at a time from their streams.
    fill_normals_from_streams(streams, out, done, count);
}

}  // namespace zorv::optimizer
