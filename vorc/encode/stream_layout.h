// vorc::StreamLayout: the choices that the stream format leaves to a
// stream's writer, asked of by the stream encoder frame by frame. Readers
// must take every stream these choices give alike: bytes other than FF
// between segments and between frames, any APP0 payload, anything after the
// tags of the tag comments and in the 12 bytes before a bitmap, the
// "#:K7IMG" comment or none, tables in partial frames or not, the picture
// size named or left to the last one, any number of the standard Huffman
// tables, and APP13 segments of any payload after a frame. The base class
// gives the encoder's plain layout; override what is to vary.
#ifndef VORC_ENCODE_STREAM_LAYOUT_H
#define VORC_ENCODE_STREAM_LAYOUT_H

#include <cstdint>
#include <optional>
#include <vector>

namespace vorc {

class StreamLayout {
public:
    virtual ~StreamLayout();

    // Bytes put before the marker with this code: before a frame's SOI (so
    // also between frames and after an APP13 segment) and between the
    // segments of a frame, but never inside a scan. None may be FF.
    virtual std::vector<uint8_t> gapBefore(uint8_t markerCode);
    // A frame's APP0 payload; plain is the JFIF one. At most 65533 bytes.
    virtual std::vector<uint8_t> app0Payload(std::vector<uint8_t> plain);
    // Whether the "#:K7IMG" comment comes before the "TSF" one.
    virtual bool imageTag(bool plain);
    // What follows the tag ("#:K7IMG" when imageTag, else "TSF") in its comment.
    virtual std::vector<uint8_t> afterTag(bool imageTag);
    // The 12 bytes in front of a partial frame's bitmap, which readers do
    // not read; they arrive holding the encoder's own.
    virtual void bitmapHeader(uint8_t (&header)[12]);
    // Whether a partial frame carries the quantisation tables again.
    virtual bool tablesInPartialFrame(bool plain);
    // Whether a frame with tables names its picture size; asked only when
    // the size is the one a reader already takes, for a size change is
    // always named.
    virtual bool namePictureSize();
    // How many of the four standard Huffman tables (0 to 4) a frame with
    // tables carries; readers always decode with all four. A frame that
    // does not name its size carries at least one.
    virtual int huffmanTables();
    // The payload (at most 65533 bytes) of an APP13 segment after the frame,
    // or nothing.
    virtual std::optional<std::vector<uint8_t>> app13After();
};

}  // namespace vorc

#endif
