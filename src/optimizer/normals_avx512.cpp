// Normal samples drawn one from each stream at once, in the lanes of a wide
// type of src/simd: the streams' words are held across the lanes, and a lane
// whose first try is not taken finishes its sample with the scalar slow path
// on its own stream, so that every sample is the one the scalar draw gives.
// Compiled for AVX-512 (eight lanes, one per stream) and entered only where
// the process takes the optimizer's AVX-512 build (products_avx512.cpp).
#define ZORV_ISA avx512

#include <bit>
#include <cstddef>
#include <cstdint>

#include "optimizer/ziggurat.hpp"
#include "simd/avx512.hpp"

namespace zorv::optimizer {
inline namespace ZORV_ISA {
namespace {

using simd::width_of;

// The streams' state, word w of every stream in the lanes of word[w].
template <class Words>
struct StreamLanes {
    static constexpr int width = width_of<Words>;
    static_assert(width == static_cast<int>(normal_streams), "one stream per lane");

    Words word[4];

    void read_streams(const StreamsOfAFill& streams) {
        for (Words& w : word) w = Words(std::uint64_t{0});
        for (int i = 0; i < width; ++i) set_stream(i, streams[i]);
    }

    void write_streams(StreamsOfAFill& streams) const {
        for (int i = 0; i < width; ++i) streams[i] = stream(i);
    }

    // One lane's stream, out of the registers (through memory, where the
    // lanes are read with plain loads) and back.
    Xoshiro256 stream(int i) const {
        alignas(64) std::uint64_t words[4][width];
        for (int w = 0; w < 4; ++w) store(words[w], word[w]);
        return {{words[0][i], words[1][i], words[2][i], words[3][i]}};
    }

    void set_stream(int i, const Xoshiro256& stream) {
        for (int w = 0; w < 4; ++w) set_lane(word[w], i, stream.state[w]);
    }

    // Xoshiro256::next in every lane; the products by 5 and 9 as shifts
    // and adds, which wrap the same way.
    Words next() {
        const Words s1 = word[1];
        const Words times5 = shift_left<2>(s1) + s1;
        const Words rotated = rotate_left<7>(times5);
        const Words result = shift_left<3>(rotated) + rotated;
        const Words t = shift_left<17>(s1);
        word[2] = word[2] ^ word[0];
        word[3] = word[3] ^ word[1];
        word[1] = word[1] ^ word[2];
        word[0] = word[0] ^ word[3];
        word[2] = word[2] ^ t;
        word[3] = rotate_left<45>(word[3]);
        return result;
    }
};

// fill_normals_from_streams' samples, a lane per stream: first_try_point,
// first_try_taken and with_sign lane by lane, the slow path lane by lane
// where a first try is not taken, and the last samples, fewer than the
// lanes, one at a time.
template <class Words>
void fill_normals_on_lanes(StreamsOfAFill& streams, double* out, std::size_t count) {
    constexpr int width = width_of<Words>;
    constexpr unsigned every_lane = (1u << width) - 1;
    const ZigguratLayers& l = ziggurat_layers();
    StreamLanes<Words> lanes;
    lanes.read_streams(streams);
    std::size_t done = 0;
    for (; done + width <= count; done += width) {
        const Words bits = lanes.next();
        const simd::Pair<decltype(as_double(bits))> edges = look_up_neighbours(l.width.data(), bits & 0xff);
        const auto x = as_double(shift_right<11>(bits)) * 0x1p-53 * edges.first;
        const unsigned taken = lane_bits(x < edges.second);
        store(out + done, sign_flipped(x, bits_as_double(shift_left<55>(bits & 0x100))));
        if (taken != every_lane) [[unlikely]] {
            alignas(64) std::uint64_t lane_draws[width];
            alignas(64) double lane_x[width];
            store(lane_draws, bits);
            store(lane_x, x);
            for (unsigned left = ~taken & every_lane; left != 0; left &= left - 1) {
                const int i = std::countr_zero(left);
                Xoshiro256 stream = lanes.stream(i);
                out[done + static_cast<std::size_t>(i)] = after_first_try(stream, lane_draws[i], lane_x[i], l);
                lanes.set_stream(i, stream);
            }
        }
    }
    lanes.write_streams(streams);
    fill_normals_from_streams(streams, out, done, count);
}

}  // namespace
}  // namespace ZORV_ISA

void fill_normals_avx512(StreamsOfAFill& streams, double* out, std::size_t count) {
    fill_normals_on_lanes<simd::Words8>(streams, out, count);
}

}  // namespace zorv::optimizer
