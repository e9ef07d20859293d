// The tile walker's one step.
#include "vorc/chain/tile_walker.h"

#include "vorc/parse/coded_tiles.h"

namespace vorc {

void TileWalker::performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) {
    tiles_->addTiles(codedTiles(*frame));
}

}  // namespace vorc
