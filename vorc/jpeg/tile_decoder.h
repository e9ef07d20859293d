// Entropy decoding of a tile's six blocks with the fast reader (parser ->
// scan decoder -> kernels): the pixel decoder's innermost loop, built
// portably here and again with BMI2's shifts for the kernel table.
#ifndef VORC_JPEG_TILE_DECODER_H
#define VORC_JPEG_TILE_DECODER_H

#include <cstdint>

#include "vorc/jpeg/block_decoder.h"

namespace vorc::jpeg {

// Decodes the six blocks of a tile, all zero on entry: four luminance, then
// Cb and Cr. When all six decode, the reader and the predictors (luminance,
// Cb, Cr) move on and lastPositions holds each block's last non-zero
// zig-zag position. Otherwise the outcome is that of the first block that
// did not, and the reader and the predictors stay as they were. The reader
// and the predictors are copied into locals so that they stay in registers,
// and the tables are named apart for luminance and chrominance so that
// their addresses stay fixed offsets.
[[gnu::always_inline]] inline FastBlockOutcome decodeTileWith(ScanBitReader& tileReader,
                                                              const StandardLookups& lookups,
                                                              int16_t (*blocks)[64], int16_t* tilePredictors,
                                                              int* lastPositions) {
    ScanBitReader reader = tileReader;
    int16_t predictors[3] = {tilePredictors[0], tilePredictors[1], tilePredictors[2]};
    FastBlockOutcome outcome = FastBlockOutcome::Decoded;
    int block = 0;
    auto decode = [&](const HuffmanLookup& dc, const HuffmanLookup& ac,
                      int16_t& predictor) __attribute__((always_inline)) {
        int end = 0;
        outcome = decodeBlockWith(reader, dc, ac, blocks[block], predictor, lastPositions[block], end);
        ++block;
    };
    while (block < 4 && outcome == FastBlockOutcome::Decoded) decode(lookups.dc[0], lookups.ac[0], predictors[0]);
    while (block < 6 && outcome == FastBlockOutcome::Decoded)
        decode(lookups.dc[1], lookups.ac[1], predictors[block - 3]);
    if (reader.overran()) outcome = FastBlockOutcome::NeedsExactReader;
    if (outcome == FastBlockOutcome::Decoded) {
        tileReader = reader;
        for (int component = 0; component < 3; ++component) tilePredictors[component] = predictors[component];
    }
    return outcome;
}

// The portable build of decodeTileWith().
FastBlockOutcome decodeTile(ScanBitReader& reader, const StandardLookups& lookups, int16_t (*blocks)[64],
                            int16_t* predictors, int* lastPositions);

}  // namespace vorc::jpeg

#endif
