#include "optimizer/normals.hpp"

#include "dispatch/instruction_sets.hpp"
#include "optimizer/build.hpp"

namespace zorv::optimizer {

void fill_normals(Xoshiro256& generator, double* out, std::size_t count) {
    fill_normals(generator, out, count, Split::none());
}

NormalStreams::NormalStreams(Xoshiro256& generator) {
    for (Xoshiro256& stream : streams_) {
        for (std::uint64_t& word : stream.state) word = generator.next();
        if ((stream.state[0] | stream.state[1] | stream.state[2] | stream.state[3]) == 0)
            stream.state[0] = 1;  // the one state a stream must not have
    }
}

void NormalStreams::draw(double* out, std::size_t count) {
    dispatch::this_process_instruction_set().optimizer->draw_normals(streams_, out, count);
}

void fill_normals(Xoshiro256& generator, double* out, std::size_t count, const Split& split) {
    NormalStreams seeded(generator);
    if (split.pieces() < 2) {
        seeded.draw(out, count);
        return;
    }
    StreamsOfAFill& streams = seeded.streams();
    // Two or more threads drawing streams one sample at a time outrun
    // one thread drawing all eight in vector lanes. Each stream is drawn
    // into a row of its own and the rows are then interleaved, by pieces
    // of the output: drawn straight into place, every cache line of the
    // output would hold samples of every thread.
    const std::size_t per_stream = (count + normal_streams - 1) / normal_streams;
    double* const drawn = Split::kept_memory(normal_streams * per_stream);
    const Split by_stream = split.at_most(normal_streams);
    const std::size_t pieces = by_stream.pieces();
    by_stream.run([&](std::size_t p) {
        for (std::size_t s = p * normal_streams / pieces; s < (p + 1) * normal_streams / pieces; ++s) {
            Xoshiro256 stream = streams[s];  // a copy: the streams share cache lines
            draw_normals(stream, drawn + s * per_stream,
                         count > s ? (count - s + normal_streams - 1) / normal_streams : 0);
        }
    });
    split.run([&](std::size_t p) {
        const auto [first, end] = split.rows_of(p, count);
        for (std::size_t i = first; i < end; ++i)
            out[i] = drawn[i % normal_streams * per_stream + i / normal_streams];
    });
}

}  // namespace zorv::optimizer
