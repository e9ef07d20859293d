// Walking a stream without decoding it: a scan decoder that decodes nothing
// but tells a default back end how many tiles each frame carries, so that
// its frame messages read as after decoding. `vorc info --parse-only` and
// `vorc motion` walk streams this way, at the speed of the parser.
#ifndef VORC_CHAIN_TILE_WALKER_H
#define VORC_CHAIN_TILE_WALKER_H

#include <cstdint>

#include "vorc/backends/default_backend.h"
#include "vorc/parse/scan_decoder.h"

namespace vorc {

// The default back end, told a frame's tiles all at once.
class TileCountingBackEnd : public vorcDefaultTesraDecoderBackEnd {
public:
    void addTiles(int64_t tiles) { tileCount += static_cast<int32_t>(tiles); }
};

class TileWalker : public vorcFramewiseTesraScanDecoder {
public:
    // tiles is the chain's back end, or the back end behind it; it must
    // outlive the walker.
    explicit TileWalker(TileCountingBackEnd* tiles) : tiles_(tiles) {}
    const char* getAccelerationTypeString() override { return "none"; }
    void setYQuantizationTable(unsigned char*) override {}
    void setUVQuantizationTable(unsigned char*) override {}
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override;

private:
    TileCountingBackEnd* tiles_;
};

}  // namespace vorc

#endif
