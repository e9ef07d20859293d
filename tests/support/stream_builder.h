// Test support: assembles Tesra streams segment by segment, and entropy-codes
// test blocks with the standard JPEG tables, independently of the library's
// own encoders.
#ifndef VORC_TESTS_SUPPORT_STREAM_BUILDER_H
#define VORC_TESTS_SUPPORT_STREAM_BUILDER_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vorctest {

using Bytes = std::vector<uint8_t>;

// 64 quantised coefficients of one 8x8 block in natural (row-major) order.
using Block = std::array<int16_t, 64>;

// Writes baseline-JPEG entropy-coded data with the four default tables:
// DC prediction per component, FF 00 stuffing, final byte padded with 1s.
class ScanWriter {
public:
    // Component 0 is luminance, 1 and 2 the chrominance components.
    void block(int component, const Block& coefficients);
    // Four luminance blocks, then one of each chrominance component.
    void tile(const Block& y0, const Block& y1, const Block& y2, const Block& y3, const Block& u,
              const Block& v);
    // A tile whose six blocks are all zero.
    void zeroTile();
    // Raw bits, most significant first (for hand-made or broken scans).
    void bits(uint32_t value, int count);
    // Pads the last byte with 1 bits and returns the bytes (without EOI).
    Bytes finish();
    void resetPredictors() { predictors_ = {0, 0, 0}; }

private:
    void put(uint32_t code, int length);
    std::array<int, 3> predictors_{0, 0, 0};
    Bytes out_;
    uint32_t accu_ = 0;
    int accuBits_ = 0;
};

// Tile bitmap with the stream's bit order: tile k is bit 7 - k % 8 of byte k / 8.
Bytes tileBitmap(int tileColumns, int tileRows, const std::vector<int>& codedTiles);

class StreamBuilder {
public:
    StreamBuilder& soi();
    StreamBuilder& app0(const Bytes& payload = {'J', 'F', 'I', 'F', 0});
    StreamBuilder& k7img();
    StreamBuilder& tsf();
    // Bitmap comment: 12 unused bytes, then the bitmap.
    StreamBuilder& bitmapComment(const Bytes& bitmap);
    // One DQT segment: table id, then 64 values in zig-zag order.
    StreamBuilder& dqt(uint8_t tableId, const std::array<uint8_t, 64>& zigzagValues);
    StreamBuilder& dqt(uint8_t tableId, uint8_t allValues);
    StreamBuilder& sof0(int width, int height);
    // One DHT segment with the standard luminance DC table (its content is
    // never read by the parser).
    StreamBuilder& dht();
    StreamBuilder& sos();
    // Scan bytes followed by EOI.
    StreamBuilder& scan(const Bytes& entropyCoded);
    StreamBuilder& app13(const Bytes& payload = {'T', 'E', 'S', 'T'});
    StreamBuilder& segment(uint8_t code, const Bytes& payload);
    StreamBuilder& raw(const Bytes& bytes);

    // A complete picture: SOI APP0 COM"TSF" DQT DQT SOF0 DHT SOS scan EOI.
    StreamBuilder& fullFrame(int width, int height, const Bytes& entropyCoded,
                             uint8_t quantValue = 16);
    // A partial picture: SOI APP0 COM"TSF" COM(bitmap) [DQT DQT DHT] SOS scan EOI.
    StreamBuilder& partialFrame(const Bytes& bitmap, const Bytes& entropyCoded,
                                bool withTables = false, uint8_t quantValue = 16);

    const Bytes& bytes() const { return bytes_; }
    // Writes the stream to a file; false on failure.
    bool writeFile(const std::string& path) const;

private:
    Bytes bytes_;
};

// A scan of n all-zero tiles (each 28 A2 8A 00 with continuous prediction).
Bytes zeroTilesScan(int tiles);

}  // namespace vorctest

#endif
