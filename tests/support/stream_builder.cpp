// Test stream builder and an independent baseline-JPEG entropy coder.
#include "support/stream_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace vorctest {

namespace {

// ITU-T T.81 tables K.3 to K.6, written out here again so that the test
// coder does not depend on the library's copy.
constexpr uint8_t kDcLumaCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kDcChromaCounts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr uint8_t kDcSymbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t kAcLumaCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr uint8_t kAcLumaSymbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0,
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
    0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
    0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
    0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
    0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5,
    0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa};
constexpr uint8_t kAcChromaCounts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr uint8_t kAcChromaSymbols[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0,
    0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26,
    0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
    0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
    0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
    0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5,
    0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa};

constexpr int kZigZag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                             12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                             35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                             58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

struct Code {
    uint16_t bits = 0;
    int length = 0;
};

struct CodeTable {
    Code bySymbol[256];
    CodeTable(const uint8_t* counts, const uint8_t* symbols) {
        uint32_t code = 0;
        int k = 0;
        for (int length = 1; length <= 16; ++length) {
            for (int i = 0; i < counts[length - 1]; ++i) {
                bySymbol[symbols[k++]] = Code{static_cast<uint16_t>(code), length};
                ++code;
            }
            code <<= 1;
        }
    }
};

const CodeTable& dcTable(int component) {
    static const CodeTable luma(kDcLumaCounts, kDcSymbols);
    static const CodeTable chroma(kDcChromaCounts, kDcSymbols);
    return component == 0 ? luma : chroma;
}

const CodeTable& acTable(int component) {
    static const CodeTable luma(kAcLumaCounts, kAcLumaSymbols);
    static const CodeTable chroma(kAcChromaCounts, kAcChromaSymbols);
    return component == 0 ? luma : chroma;
}

int category(int value) {
    int magnitude = std::abs(value);
    int bits = 0;
    while (magnitude != 0) {
        ++bits;
        magnitude >>= 1;
    }
    return bits;
}

uint32_t magnitudeBits(int value, int size) {
    if (value < 0) value -= 1;
    return static_cast<uint32_t>(value) & ((1u << size) - 1u);
}

}  // namespace

void ScanWriter::put(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) {
        accu_ = (accu_ << 1) | ((code >> i) & 1u);
        if (++accuBits_ == 8) {
            out_.push_back(static_cast<uint8_t>(accu_));
            if (accu_ == 0xFF) out_.push_back(0x00);
            accu_ = 0;
            accuBits_ = 0;
        }
    }
}

void ScanWriter::bits(uint32_t value, int count) { put(value, count); }

void ScanWriter::block(int component, const Block& coefficients) {
    int difference = coefficients[0] - predictors_[component];
    predictors_[component] = coefficients[0];
    int size = category(difference);
    const Code& dc = dcTable(component).bySymbol[size];
    put(dc.bits, dc.length);
    if (size > 0) put(magnitudeBits(difference, size), size);

    const CodeTable& ac = acTable(component);
    int run = 0;
    for (int k = 1; k < 64; ++k) {
        int value = coefficients[kZigZag[k]];
        if (value == 0) {
            ++run;
            continue;
        }
        while (run > 15) {
            put(ac.bySymbol[0xF0].bits, ac.bySymbol[0xF0].length);
            run -= 16;
        }
        int acSize = category(value);
        const Code& code = ac.bySymbol[(run << 4) | acSize];
        put(code.bits, code.length);
        put(magnitudeBits(value, acSize), acSize);
        run = 0;
    }
    if (run > 0) put(ac.bySymbol[0x00].bits, ac.bySymbol[0x00].length);
}

void ScanWriter::tile(const Block& y0, const Block& y1, const Block& y2, const Block& y3,
                      const Block& u, const Block& v) {
    block(0, y0);
    block(0, y1);
    block(0, y2);
    block(0, y3);
    block(1, u);
    block(2, v);
}

void ScanWriter::zeroTile() {
    Block zero{};
    tile(zero, zero, zero, zero, zero, zero);
}

Bytes ScanWriter::finish() {
    if (accuBits_ > 0) put(0xFF, 8 - accuBits_);
    Bytes result;
    result.swap(out_);
    return result;
}

Bytes tileBitmap(int tileColumns, int tileRows, const std::vector<int>& codedTiles) {
    Bytes bitmap(static_cast<size_t>((tileColumns * tileRows + 7) / 8), 0);
    for (int k : codedTiles) bitmap[static_cast<size_t>(k / 8)] |= static_cast<uint8_t>(0x80 >> (k % 8));
    return bitmap;
}

Bytes zeroTilesScan(int tiles) {
    ScanWriter writer;
    for (int i = 0; i < tiles; ++i) writer.zeroTile();
    return writer.finish();
}

StreamBuilder& StreamBuilder::raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

StreamBuilder& StreamBuilder::segment(uint8_t code, const Bytes& payload) {
    size_t length = payload.size() + 2;
    raw({0xFF, code, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF)});
    return raw(payload);
}

StreamBuilder& StreamBuilder::soi() { return raw({0xFF, 0xD8}); }
StreamBuilder& StreamBuilder::app0(const Bytes& payload) { return segment(0xE0, payload); }
StreamBuilder& StreamBuilder::k7img() { return segment(0xFE, {'#', ':', 'K', '7', 'I', 'M', 'G'}); }
StreamBuilder& StreamBuilder::tsf() { return segment(0xFE, {'T', 'S', 'F'}); }

StreamBuilder& StreamBuilder::bitmapComment(const Bytes& bitmap) {
    Bytes payload(12, 0);
    payload.insert(payload.end(), bitmap.begin(), bitmap.end());
    return segment(0xFE, payload);
}

StreamBuilder& StreamBuilder::dqt(uint8_t tableId, const std::array<uint8_t, 64>& zigzagValues) {
    Bytes payload(1 + zigzagValues.size());
    payload[0] = tableId;
    std::copy(zigzagValues.begin(), zigzagValues.end(), payload.begin() + 1);
    return segment(0xDB, payload);
}

StreamBuilder& StreamBuilder::dqt(uint8_t tableId, uint8_t allValues) {
    std::array<uint8_t, 64> values;
    values.fill(allValues);
    return dqt(tableId, values);
}

StreamBuilder& StreamBuilder::sof0(int width, int height) {
    return segment(0xC0, {8, static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height & 0xFF),
                          static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width & 0xFF), 3,
                          1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
}

StreamBuilder& StreamBuilder::dht() {
    Bytes payload{0x00};
    payload.insert(payload.end(), kDcLumaCounts, kDcLumaCounts + 16);
    payload.insert(payload.end(), kDcSymbols, kDcSymbols + 12);
    return segment(0xC4, payload);
}

StreamBuilder& StreamBuilder::sos() {
    return segment(0xDA, {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0});
}

StreamBuilder& StreamBuilder::scan(const Bytes& entropyCoded) {
    raw(entropyCoded);
    return raw({0xFF, 0xD9});
}

StreamBuilder& StreamBuilder::app13(const Bytes& payload) { return segment(0xED, payload); }

StreamBuilder& StreamBuilder::fullFrame(int width, int height, const Bytes& entropyCoded,
                                        uint8_t quantValue) {
    return soi().app0().tsf().dqt(0, quantValue).dqt(1, quantValue).sof0(width, height).dht().sos().scan(
        entropyCoded);
}

StreamBuilder& StreamBuilder::partialFrame(const Bytes& bitmap, const Bytes& entropyCoded,
                                           bool withTables, uint8_t quantValue) {
    soi().app0().tsf().bitmapComment(bitmap);
    if (withTables) dqt(0, quantValue).dqt(1, quantValue).dht();
    return sos().scan(entropyCoded);
}

bool StreamBuilder::writeFile(const std::string& path) const {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(bytes_.data(), 1, bytes_.size(), file) == bytes_.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace vorctest
