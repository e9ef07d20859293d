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

// A quantisation table, given in natural order, in a DQT segment of its own
// in zig-zag order (the low 8 bits of each value).
void appendQuantisationTable(HeaderBytes& out, int tableId, const uint16_t (&table)[64]);

// The luminance (0) and chrominance (1) quantisation tables.
void appendQuantisationTables(HeaderBytes& out, const uint16_t (&lumaTable)[64], const uint16_t (&chromaTable)[64]);

// SOF0 of a tile picture of the given size.
void appendFrameHeader(HeaderBytes& out, int width, int height);

// One of the standard Huffman tables in a DHT segment of its own: luminance
// DC, luminance AC, chrominance DC, chrominance AC by index 0 to 3.
constexpr int StandardHuffmanTables = 4;
void appendHuffmanTable(HeaderBytes& out, int index);

// All four.
void appendHuffmanTables(HeaderBytes& out);

// SOS: the three components of a tile picture, the whole spectrum.
void appendScanHeader(HeaderBytes& out);

}  // namespace vorc::jpeg

#endif
