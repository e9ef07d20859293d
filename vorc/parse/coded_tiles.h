// How many tiles a frame carries: all of them for a full frame, the set bits
// of its bitmap for a partial one. Counted for every frame that is walked,
// so word by word.
#ifndef VORC_PARSE_CODED_TILES_H
#define VORC_PARSE_CODED_TILES_H

#include <cstdint>

#include "vorc/parse/framewise_decoder.h"

namespace vorc {

// The set bits among the first tileColumns x tileRows bits of the frame's
// bitmap (the bits after them in its last byte belong to no tile), or every
// tile when it has none.
int64_t codedTiles(const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor& frame);

}  // namespace vorc

#endif
