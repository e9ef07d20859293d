// Baseline Huffman coding of the encoder's scans. Bytes go out as soon as
// eight bits are collected, each data byte FF followed by a stuffed 00 so
// that a reader's marker search never stops inside the scan.
#include "vorc/encode/scan_entropy_coder.h"

#include "vorc/core/jpeg_format.h"
#include "vorc/jpeg/standard_tables.h"

namespace {

constexpr unsigned char EndOfBlock = 0x00;
constexpr unsigned char SixteenZeros = 0xF0;

// Bits needed for the magnitude of value: its size category.
int sizeCategory(int32_t value) {
    uint32_t magnitude = static_cast<uint32_t>(value < 0 ? -value : value);
    int bits = 0;
    while (magnitude != 0) {
        ++bits;
        magnitude >>= 1;
    }
    return bits;
}

// The low size bits that follow a code: the value itself when positive, its
// one's complement when negative.
uint32_t additionalBits(int32_t value, int size) {
    const int32_t coded = value < 0 ? value - 1 : value;
    return static_cast<uint32_t>(coded) & ((uint32_t{1} << size) - 1);
}

}  // namespace

vorcScanEntropyCoder::vorcScanEntropyCoder() {
    dcCodes_[0] = makeCodeBook(vorc::jpeg::standardDCTable(0));
    dcCodes_[1] = makeCodeBook(vorc::jpeg::standardDCTable(1));
    acCodes_[0] = makeCodeBook(vorc::jpeg::standardACTable(0));
    acCodes_[1] = makeCodeBook(vorc::jpeg::standardACTable(1));
}

vorcScanEntropyCoder::CodeBook vorcScanEntropyCoder::makeCodeBook(const unsigned char* table) {
    CodeBook book(256);
    vorc::jpeg::forEachCanonicalCode(
        table, table + 16, [&book](unsigned char symbol, uint32_t code, int length) {
            book[symbol] = Code{static_cast<uint16_t>(code), static_cast<uint8_t>(length)};
        });
    return book;
}

void vorcScanEntropyCoder::beginScan(std::vector<unsigned char>* out) {
    out_ = out;
    predictors_[0] = predictors_[1] = predictors_[2] = 0;
    pendingBits_ = 0;
    pendingCount_ = 0;
}

void vorcScanEntropyCoder::putBits(uint32_t bits, int length) {
    // At most 7 bits wait between calls and a call adds at most 16.
    pendingBits_ = (pendingBits_ << length) | bits;
    pendingCount_ += length;
    while (pendingCount_ >= 8) {
        pendingCount_ -= 8;
        const auto byte = static_cast<unsigned char>(pendingBits_ >> pendingCount_);
        out_->push_back(byte);
        if (byte == 0xFF) out_->push_back(0x00);
    }
    pendingBits_ &= (uint32_t{1} << pendingCount_) - 1;
}

void vorcScanEntropyCoder::encodeBlock(Component component, const int16_t* block) {
    const int table = component == Luminance ? 0 : 1;
    const CodeBook& dc = dcCodes_[table];
    const CodeBook& ac = acCodes_[table];

    const int32_t difference = block[0] - predictors_[component];
    predictors_[component] = block[0];
    const int dcSize = sizeCategory(difference);
    putBits(dc[dcSize].bits, dc[dcSize].length);
    if (dcSize != 0) putBits(additionalBits(difference, dcSize), dcSize);

    int zeroRun = 0;
    for (int k = 1; k < 64; ++k) {
        const int32_t value = block[vorc::jpeg::ZigZagNaturalOrder[k]];
        if (value == 0) {
            ++zeroRun;
            continue;
        }
        for (; zeroRun > 15; zeroRun -= 16) putBits(ac[SixteenZeros].bits, ac[SixteenZeros].length);
        const int size = sizeCategory(value);
        const Code& code = ac[static_cast<size_t>(zeroRun << 4 | size)];
        putBits(code.bits, code.length);
        putBits(additionalBits(value, size), size);
        zeroRun = 0;
    }
    if (zeroRun > 0) putBits(ac[EndOfBlock].bits, ac[EndOfBlock].length);
}

void vorcScanEntropyCoder::endScan() {
    if (pendingCount_ > 0) {
        const int padding = 8 - pendingCount_;
        putBits((uint32_t{1} << padding) - 1, padding);
    }
    out_ = nullptr;
}
