// The JPEG header writer of the writing side: the marker segments in front of
// an entropy-coded scan, as the transcoder writes them into every image and
// the stream encoder into its frames. Both write the same layout (SOI, JFIF
// APP0, two DQT segments, SOF0 of a tile picture, the four standard DHT
// segments, SOS), so a full frame of the encoder and a transcoded image
// differ only where the stream needs its comments. Internal to the library:
// vorc/vorc.h leaves it out.
#ifndef VORC_JPEG_HEADER_WRITER_H
#define VORC_JPEG_HEADER_WRITER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorc::jpeg {

using HeaderBytes = std::vector<unsigned char>;

// Two bytes, high byte first.
void appendBigEndian16(HeaderBytes& out, size_t value);

// FF and the marker code, without a segment (SOI, EOI).
void appendMarker(HeaderBytes& out, unsigned char code);

// A marker segment: FF, the code, the length (which counts itself) and the
// payload of at most 65533 bytes.
void appendSegment(HeaderBytes& out, unsigned char code, const unsigned char* payload, size_t length);

// SOI and the JFIF APP0 segment.
void appendImageStart(HeaderBytes& out);

// The luminance (0) and chrominance (1) quantisation tables, given in
// natural order, each in a DQT segment of its own in zig-zag order (the
// low 8 bits of each value).
void appendQuantisationTables(HeaderBytes& out, const uint16_t (&lumaTable)[64], const uint16_t (&chromaTable)[64]);

// SOF0 of a tile picture of the given size.
void appendFrameHeader(HeaderBytes& out, int width, int height);

// The four standard Huffman tables, each in a DHT segment of its own.
void appendHuffmanTables(HeaderBytes& out);

// The three above in that order.
void appendFrameTables(HeaderBytes& out, const uint16_t (&lumaTable)[64],
                       const uint16_t (&chromaTable)[64], int width, int height);

// SOS: the three components of a tile picture, the whole spectrum.
void appendScanHeader(HeaderBytes& out);

}  // namespace vorc::jpeg

#endif
