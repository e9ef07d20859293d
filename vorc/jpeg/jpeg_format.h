// The pieces of baseline JPEG that the whole chain agrees on: marker codes,
// the fixed segment payloads of a Tesra tile picture, the zig-zag order and
// canonical Huffman code assignment. The parser reads what the stream
// encoder writes, and the scan decoders and the transcoder walk coefficients
// in the same order, so each of these is defined here once. Not part of the
// API: vorc/vorc.h leaves it out, and the class headers that include it do
// so only for the tables their members refer to.
#ifndef VORC_JPEG_JPEG_FORMAT_H
#define VORC_JPEG_JPEG_FORMAT_H

#include <cstdint>

namespace vorc::jpeg {

constexpr unsigned char MarkerPrefix = 0xFF;
constexpr unsigned char MarkerSOI = 0xD8;
constexpr unsigned char MarkerEOI = 0xD9;
constexpr unsigned char MarkerAPP0 = 0xE0;
constexpr unsigned char MarkerAPP13 = 0xED;
constexpr unsigned char MarkerCOM = 0xFE;
constexpr unsigned char MarkerDQT = 0xDB;
constexpr unsigned char MarkerSOF0 = 0xC0;
constexpr unsigned char MarkerDHT = 0xC4;
constexpr unsigned char MarkerSOS = 0xDA;

// JFIF 1.01, no density unit, aspect 1:1, no thumbnail: full frames and
// transcoded images are then ordinary JPEG images for any viewer.
constexpr unsigned char JfifApp0Payload[14] = {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
// SOF0: 8-bit precision, height and width (bytes 1..4, filled in for every
// picture), three components, luminance sampled 2x2 with table 0, both
// chrominance components 1x1 with table 1, so one coding unit is one tile.
constexpr unsigned char TileFrameHeaderPayload[15] = {8, 0, 0,    0, 0,  //
                                                      3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1};
// SOS: the three components with DC/AC tables 0/0, 1/1, 1/1; the whole
// spectrum of a baseline scan.
constexpr unsigned char TileScanHeaderPayload[10] = {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};

// Natural (row-major) index of each zig-zag position of ITU-T T.81 Figure A.6.
inline constexpr int32_t ZigZagNaturalOrder[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,   //
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,  //
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,  //
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Zig-zag position of each natural index: the inverse of the order above,
// wrapped so that a class can refer to the array itself.
struct ZigZagPositions {
    uint8_t ofNatural[64];
};
constexpr ZigZagPositions invertZigZag() {
    ZigZagPositions positions{};
    for (int k = 0; k < 64; ++k)
        positions.ofNatural[ZigZagNaturalOrder[k]] = static_cast<uint8_t>(k);
    return positions;
}
inline constexpr ZigZagPositions ZigZagPositionOf = invertZigZag();

// A tile is one coding unit of a 4:2:0 image: four luminance blocks, then
// one of each chrominance component, of 64 coefficients each.
constexpr int CoefficientsPerTile = 6 * 64;

// EXTEND bases 2^(n-1) of a magnitude of n bits, by n; every size that the
// low nibble of a symbol can name has an entry (size 0 carries no bits).
inline constexpr int32_t MagnitudeBases[16] = {0,   1,   2,   4,    8,    16,   32,   64,
                                               128, 256, 512, 1024, 2048, 4096, 8192, 16384};

// Canonical code assignment of a table in DHT layout: consecutive codes
// within a length, the first code of each longer length following the last
// shorter one shifted. Calls assign(symbol, code, length) in table order.
template <typename Assign>
void forEachCanonicalCode(const unsigned char* counts, const unsigned char* symbols,
                          Assign&& assign) {
    uint32_t code = 0;
    for (int length = 1; length <= 16; ++length) {
        for (int i = 0; i < counts[length - 1]; ++i) assign(*symbols++, code++, length);
        code <<= 1;
    }
}

}  // namespace vorc::jpeg

#endif
