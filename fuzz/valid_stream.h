// Valid streams from fuzz input, for the targets that hold the parser's
// recovery to its promise. The library's own stream encoder writes the
// frames of a moving picture whose sizes, content and coding the input
// picks, and a stream layout driven by the input makes every choice the
// format leaves to a writer: bytes other than FF between segments and
// between frames, APP13 segments of any payload (embedded JPEG starts, FF D8,
// FF D9, FF FF), any APP0 payload and tag comment tails, the "#:K7IMG"
// comment, tables in partial frames, the picture size named or not, any
// number of Huffman tables, size changes, odd and tiny sizes.
#ifndef VORC_FUZZ_VALID_STREAM_H
#define VORC_FUZZ_VALID_STREAM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorcfuzz {

// The input, read front to back; zeros once it has run out.
class InputBytes {
public:
    InputBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t next() { return position_ < size_ ? data_[position_++] : 0; }
    // 0 to most, from one or two bytes.
    uint32_t upTo(uint32_t most);
    bool chance(int inSixteen) { return (next() & 15) < inSixteen; }
    bool exhausted() const { return position_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

struct ValidStream {
    std::vector<uint8_t> bytes;
    // Per frame: offset of its SOI and of the byte after its EOI, whether it
    // codes every tile and whether it names its picture size.
    std::vector<size_t> frameStarts;
    std::vector<size_t> eoiEnds;
    std::vector<bool> fullFrames;
    std::vector<bool> namesSize;
};

// Up to maxFrames frames of at most maxTiles tiles each.
ValidStream buildValidStream(InputBytes& input, int maxFrames, int maxTiles);

// What a decoding chain made of a stream: every callback of the back end
// (picture size, tiles with a checksum of their pixels, errors, frames with
// a checksum of the picture and the parser's view of them), every status
// message, and every JPEG image of the transcoder.
struct ChainTrace {
    std::string pixels;
    std::string images;
    uint64_t framesHandedOn = 0;
    uint64_t damagedFrames = 0;
    uint64_t skippedBytes = 0;
    bool streamError = false;
    // Per frame handed on by the pixel chain: damaged, a checksum of the
    // picture after it, whether the picture was stale; per frame handed on
    // by the JPEG chain, a checksum of its image (0 for none).
    std::vector<bool> damaged;
    std::vector<uint64_t> pictures;
    std::vector<bool> stale;
    std::vector<uint64_t> imageOfFrame;
};

// Decodes the stream through the pixel decoder and through the transcoder,
// in pieces and decode calls of sizes that pieceSeed chooses, under the
// default policy (skipErrors false) or SkipFrame. Pictures of more than
// maxTiles tiles, which only damage announces, get no buffer (the library's
// picture limit, for the call): one of up to 64 megapixels, cleared and
// checksummed at every frame, would cost more than all the rest.
ChainTrace traceChains(const std::vector<uint8_t>& stream, bool skipErrors, uint8_t pieceSeed, int maxTiles);

}  // namespace vorcfuzz

#endif
