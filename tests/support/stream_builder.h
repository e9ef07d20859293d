// Test support: assembles Tesra streams segment by segment, and entropy-codes
// test blocks with the standard JPEG tables, independently of the library's
// own encoders.
#ifndef VORC_TESTS_SUPPORT_STREAM_BUILDER_H
#define VORC_TESTS_SUPPORT_STREAM_BUILDER_H

#include <array>
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
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
              const Block& v) {
        for (const Block* y : {&y0, &y1, &y2, &y3}) block(0, *y);
        block(1, u);
        block(2, v);
    }
    // A tile whose six blocks are all zero.
    void zeroTile() { tile(Block{}, Block{}, Block{}, Block{}, Block{}, Block{}); }
    // Raw bits, most significant first (for hand-made or broken scans).
    void bits(uint32_t value, int count);
    // Bits written since the last whole byte, 0 to 7.
    int pendingBits() const { return accuBits_; }
    // Pads the last byte with 1 bits and returns the bytes (without EOI).
    Bytes finish() {
        if (accuBits_ > 0) bits(0xFF, 8 - accuBits_);
        return std::exchange(out_, Bytes());
    }

private:
    std::array<int, 3> predictors_{0, 0, 0};
    Bytes out_;
    uint32_t accu_ = 0;
    int accuBits_ = 0;
};

// Tile bitmap with the stream's bit order: tile k is bit 7 - k % 8 of byte k / 8.
inline Bytes tileBitmap(int tileColumns, int tileRows, const std::vector<int>& codedTiles) {
    Bytes bitmap(static_cast<size_t>((tileColumns * tileRows + 7) / 8), 0);
    for (int k : codedTiles)
        bitmap[static_cast<size_t>(k / 8)] |= static_cast<uint8_t>(0x80 >> (k % 8));
    return bitmap;
}

// A scan of n all-zero tiles (each 28 A2 8A 00 with continuous prediction).
inline Bytes zeroTilesScan(int tiles) {
    ScanWriter writer;
    for (int i = 0; i < tiles; ++i) writer.zeroTile();
    return writer.finish();
}

class StreamBuilder {
public:
    StreamBuilder& raw(const Bytes& bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    // FF code, big-endian length, payload.
    StreamBuilder& segment(uint8_t code, const Bytes& payload) {
        const size_t length = payload.size() + 2;
        return raw({0xFF, code, static_cast<uint8_t>(length >> 8),
                    static_cast<uint8_t>(length & 0xFF)})
            .raw(payload);
    }
    StreamBuilder& soi() { return raw({0xFF, 0xD8}); }
    StreamBuilder& app0() { return segment(0xE0, {'J', 'F', 'I', 'F', 0}); }
    StreamBuilder& k7img() { return segment(0xFE, {'#', ':', 'K', '7', 'I', 'M', 'G'}); }
    StreamBuilder& tsf() { return segment(0xFE, {'T', 'S', 'F'}); }
    // Bitmap comment: 12 unused bytes, then the bitmap.
    StreamBuilder& bitmapComment(const Bytes& bitmap) {
        Bytes payload(12, 0);
        payload.insert(payload.end(), bitmap.begin(), bitmap.end());
        return segment(0xFE, payload);
    }
    // One DQT segment: table id, then 64 equal values.
    StreamBuilder& dqt(uint8_t tableId, uint8_t allValues) {
        Bytes payload(65, allValues);
        payload[0] = tableId;
        return segment(0xDB, payload);
    }
    StreamBuilder& sof0(int width, int height) {
        return segment(
            0xC0, {8, static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height & 0xFF),
                   static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width & 0xFF), 3, 1, 0x22,
                   0, 2, 0x11, 1, 3, 0x11, 1});
    }
    // One DHT segment with the standard luminance DC table (its content is
    // never read by the parser).
    StreamBuilder& dht();
    StreamBuilder& sos() { return segment(0xDA, {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0}); }
    // Scan bytes followed by EOI.
    StreamBuilder& scan(const Bytes& entropyCoded) { return raw(entropyCoded).raw({0xFF, 0xD9}); }
    StreamBuilder& app13() { return segment(0xED, {'T', 'E', 'S', 'T'}); }

    // A complete picture: SOI APP0 COM"TSF" DQT DQT SOF0 DHT SOS scan EOI.
    StreamBuilder& fullFrame(int width, int height, const Bytes& entropyCoded,
                             uint8_t quantValue = 16) {
        soi().app0().tsf().dqt(0, quantValue).dqt(1, quantValue).sof0(width, height);
        return dht().sos().scan(entropyCoded);
    }
    // A partial picture: SOI APP0 COM"TSF" COM(bitmap) [DQT DQT DHT] SOS scan EOI.
    StreamBuilder& partialFrame(const Bytes& bitmap, const Bytes& entropyCoded,
                                bool withTables = false, uint8_t quantValue = 16) {
        soi().app0().tsf().bitmapComment(bitmap);
        if (withTables) dqt(0, quantValue).dqt(1, quantValue).dht();
        return sos().scan(entropyCoded);
    }

    const Bytes& bytes() const { return bytes_; }
    // Writes the stream to a file; false on failure.
    bool writeFile(const std::string& path) const {
        std::ofstream out(path, std::ios::binary);
        return out.write(reinterpret_cast<const char*>(bytes_.data()), long(bytes_.size())) &&
               out.flush();
    }

private:
    Bytes bytes_;
};

}  // namespace vorctest

#endif
