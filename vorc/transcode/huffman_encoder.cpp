// The entropy encoder of the transcoder: turns blocks of quantised
// coefficients into a baseline JPEG scan with the standard tables. Each
// Huffman code is looked up once in a folded table that already holds it
// shifted for the magnitude bits; bits gather in a 32-bit accumulator that
// is written out a whole word at a time, byte stuffing done only then.
#include <cstddef>
#include <mutex>

#include "vorc/core/fatal_error.h"
#include "vorc/transcode/jpeg_converter.h"

namespace {

using Converter = vorcFramewiseTesraScanToJPEGConverterSoftwareOnly;

// Largest DC difference the luminance and chrominance DC codes can carry
// together with the predictor arithmetic, and the largest AC magnitude the
// standard AC tables have a code for.
constexpr int MaxDCDifference = 2046;
constexpr int MaxACMagnitude = 1023;
// A full accumulator word with every byte stuffed.
constexpr ptrdiff_t MaxBytesPerWord = 8;

constexpr std::array<uint8_t, 2048> makeCategories() {
    std::array<uint8_t, 2048> categories{};
    for (int value = 1; value < 2048; ++value) {
        uint8_t bits = 0;
        for (int rest = value; rest != 0; rest >>= 1) ++bits;
        categories[value] = bits;
    }
    return categories;
}

// Number of significant bits of a magnitude (0 for 0).
constexpr std::array<uint8_t, 2048> Categories = makeCategories();

// The magnitude bits of a nonzero value of the given category: the value
// itself when positive, the low bits of value - 1 when negative.
constexpr uint32_t magnitudeBits(int value, int category) {
    return value >= 0 ? static_cast<uint32_t>(value)
                      : static_cast<uint32_t>(value - 1) & ((1u << category) - 1u);
}

void putStuffedByte(unsigned char*& writePos, uint32_t byte) {
    *writePos++ = static_cast<unsigned char>(byte);
    if (byte == 0xFF) *writePos++ = 0x00;
}

void requireRoomForWord(const Converter::HuffmanBufferStateStructure* state) {
    if (state->bufferLimit - state->writePos < MaxBytesPerWord)
        vorc::failStream("Huffman Buffer Overflow!", nullptr);
}

}  // namespace

Converter::FoldedHuffTbl_DC_AC Converter::Huff_Y_UV[2];

void Converter::initHuffmanEncoderBufferState() {
    HuffmanBufferState.bufferLimit = huffmanOutputBuffer.get() + HuffmanOutputBufferSize;
    resetHuffmanEncoderBufferState();
}

void Converter::resetHuffmanEncoderBufferState() {
    HuffmanBufferState.bufferStart = huffmanOutputBuffer.get();
    HuffmanBufferState.writePos = huffmanOutputBuffer.get();
    HuffmanBufferState.accu = 0;
    HuffmanBufferState.accuBitCount = 0;
}

void Converter::generateHuffTables1(const unsigned char* counts, const unsigned char* symbols,
                                    int isAC, HuffCodeTblEntry* entries) {
    vorc::jpeg::forEachCanonicalCode(
        counts, symbols, [&](unsigned symbol, uint32_t code, unsigned length) {
            const unsigned size = symbol & 0x0F;
            const unsigned index = isAC != 0 ? size * 16 + (symbol >> 4) : symbol;
            entries[index].word = (((code << size) & 0x3FFFFFFu) << 6) | (length + size);
        });
}

void Converter::calcFoldedHuffTables() {
    // Computed once per process, whichever thread builds the first transcoder.
    static std::once_flag firstcall;
    std::call_once(firstcall, [] {
        for (int componentClass = 0; componentClass < 2; ++componentClass) {
            const unsigned char* dc = HuffTbl_Y_UV_DC + componentClass * vorc::jpeg::DCTableBytes;
            const unsigned char* ac = HuffTbl_Y_UV_AC + componentClass * vorc::jpeg::ACTableBytes;
            HuffCodeTblEntry* folded = Huff_Y_UV[componentClass].entries;
            generateHuffTables1(dc, dc + 16, 0, folded + 1);
            generateHuffTables1(ac, ac + 16, 1, folded);
        }
    });
}

void Converter::encodeSubMCUTiles(short* block, short* lastDC,
                                  const FoldedHuffTbl_DC_AC* foldedTable,
                                  HuffmanBufferStateStructure* bufferState) {
    uint32_t accu = bufferState->accu;
    int32_t accuBitCount = bufferState->accuBitCount;
    const auto emit = [&](const HuffCodeTblEntry& entry, uint32_t bits) {
        const uint32_t length = entry.bitLength();
        const uint32_t word = (entry.huffCode() | bits) << (32 - length);
        accu |= word >> accuBitCount;
        accuBitCount += static_cast<int32_t>(length);
        if (accuBitCount > 31) {
            accuBitCount -= 32;
            copyAccuToGlobalHuffBuffer(accu, bufferState);
            accu = word << (length - static_cast<uint32_t>(accuBitCount));
        }
    };

    const int difference = static_cast<int16_t>(block[0] - *lastDC);
    *lastDC = block[0];
    if (difference < -MaxDCDifference || difference > MaxDCDifference)
        vorc::failStream("Out of Range", nullptr);
    const int dcCategory = Categories[difference < 0 ? -difference : difference];
    emit(foldedTable->entries[1 + dcCategory],
         difference == 0 ? 0 : magnitudeBits(difference, dcCategory));

    int run = 0;
    for (int k = 1; k < 64; ++k) {
        const int coefficient = block[ZigZagMap[k]];
        if (coefficient == 0) {
            ++run;
            continue;
        }
        for (; run > 15; run -= 16) emit(foldedTable->entries[15], 0);
        const int magnitude = coefficient < 0 ? -coefficient : coefficient;
        // No baseline code exists for it; writing it would corrupt the scan.
        if (magnitude > MaxACMagnitude) vorc::failStream("Out of Range", nullptr);
        const int category = Categories[magnitude];
        emit(foldedTable->entries[category * 16 + run], magnitudeBits(coefficient, category));
        run = 0;
    }
    if (run != 0) emit(foldedTable->entries[0], 0);

    bufferState->accu = accu;
    bufferState->accuBitCount = accuBitCount;
}

void Converter::copyAccuToGlobalHuffBuffer(unsigned int accu,
                                           HuffmanBufferStateStructure* bufferState) {
    requireRoomForWord(bufferState);
    unsigned char* writePos = bufferState->writePos;
    for (int shift = 24; shift >= 0; shift -= 8) putStuffedByte(writePos, (accu >> shift) & 0xFF);
    bufferState->writePos = writePos;
}

void Converter::shutDownHuffAccu() {
    HuffmanBufferStateStructure* state = &HuffmanBufferState;
    requireRoomForWord(state);
    unsigned char* writePos = state->writePos;
    const int pendingBytes = (state->accuBitCount + 7) / 8;
    for (int i = 0; i < pendingBytes; ++i)
        putStuffedByte(writePos, (state->accu >> (24 - 8 * i)) & 0xFF);
    state->writePos = writePos;
    state->accu = 0;
    state->accuBitCount = 0;
}
