// Lookup tables for decoding one Huffman table of a scan (used by the scan
// decoders between parser and back end): most codes resolve with one look
// at the next LookupBits bits, giving in one entry everything the block
// decoder needs (the bits the code and its magnitude take, the step of the
// zig-zag position, where the magnitude lies), and where a second symbol of
// the block's AC table fits in those bits as well, that one too, so that
// one lookup moves two symbols on; longer codes are found by comparing
// against the largest code of each length.
#ifndef VORC_JPEG_HUFFMAN_LOOKUP_H
#define VORC_JPEG_HUFFMAN_LOOKUP_H

#include <cstdint>

namespace vorc::jpeg {

struct HuffmanLookup {
    static constexpr int LookupBits = 11;
    static constexpr int MaxCodeLength = 16;
    // A coefficient steps the position by its zero run plus one. A run of
    // sixteen zeros steps it past the end of any block, so that the one
    // check for that per lookup also finds it, and so do the slow entries
    // by their second step. An end of block steps it by nothing and is
    // flagged instead; alone in its entry it steps by one, onto a position
    // that is still zero, and says so, so that the stores of an entry never
    // touch a coefficient already decoded.
    static constexpr uint32_t ZeroRunStep = 0x80 + 16;
    static constexpr uint64_t SlowSecondStep = uint64_t{0xC0} << 32;
    static constexpr uint64_t EndOfBlockFlag = uint64_t{1} << 22;
    static constexpr uint64_t EndOfBlockFirstFlag = uint64_t{1} << 21;
    static constexpr int EndOfBlockFirstShift = 21;
    static constexpr uint64_t SlowFlag = uint64_t{1} << 23;

    // By the next LookupBits bits, when they start with a code of at most
    // LookupBits bits:
    //   bits 0-7    all the entry's symbols take: codes and magnitudes
    //   bits 8-15   AC: the zero run plus one (1 for an end of block
    //               first), or ZeroRunStep (0xF0); DC: 0
    //   bits 16-20  the first code's length
    //   bit 21      AC: EndOfBlockFirstFlag, the first symbol ends the
    //               block (then also EndOfBlockFlag)
    //   bit 22      EndOfBlockFlag: the entry's last symbol ends the block
    //   bit 23      AC: SlowFlag, when the entry does not give the first
    //               value (no second symbol then), or the code is longer
    //               (and the rest of the entry is 0 but the second step)
    //   bits 24-31  63 - the size of the first magnitude when the entry
    //               does not give its value; 63 otherwise. Shifted right by
    //               this, a word that starts with the magnitude and has
    //               been shifted right by one leaves the magnitude's bits,
    //               or none.
    //   bits 32-39  a second symbol, an AC one that follows within the
    //               lookup's bits: its position step (0 for none or an end
    //               of block; SlowSecondStep for slow entries)
    //   bits 40-47  the bits the second symbol takes
    //   bits 48-55  the second symbol's value, signed (0 for none)
    //   bits 56-63  the first symbol's value when its magnitude lies
    //               within the lookup's bits and the value fits, signed
    // A second symbol is a coefficient or an end of block that follows a
    // DC difference or a coefficient. Shift counts are read as the low 6
    // bits of the entry shifted down, all that a 64-bit shift looks at, so
    // that with BMI2 a shift by a field is one instruction. 0 for longer
    // codes in DC tables, and for AC symbols without magnitude bits other
    // than 0x00 and 0xF0.
    uint64_t fastEntryOf[1 << LookupBits];
    // By the next LookupBits bits: code length << 8 | symbol; 0 when the
    // code is longer.
    uint16_t symbolOf[1 << LookupBits];
    // By code length: the largest code (-1 for none), and what to add to a
    // code to find its symbol's index.
    int32_t largestCode[MaxCodeLength + 1];
    int32_t symbolOffset[MaxCodeLength + 1];
    uint8_t symbols[256];

    static int takenBits(uint64_t entry) { return static_cast<int>(entry & 0xFF); }
    static uint32_t positionStep(uint64_t entry) { return static_cast<uint32_t>(entry >> 8) & 0xFF; }
    static unsigned codeLengthShift(uint64_t entry) { return static_cast<unsigned>(entry >> 16) & 31; }
    static bool isLongCode(uint64_t entry) { return codeLengthShift(entry) == 0; }
    static unsigned magnitudeShift(uint64_t entry) { return static_cast<unsigned>(entry >> 24) & 63; }
    static uint32_t secondStep(uint64_t entry) { return static_cast<uint32_t>(entry >> 32) & 0xFF; }
    static int secondTakenBits(uint64_t entry) { return static_cast<int>(entry >> 40) & 0xFF; }
    static int32_t secondValue(uint64_t entry) { return static_cast<int8_t>(entry >> 48); }
    static int32_t firstValue(uint64_t entry) { return static_cast<int32_t>(static_cast<int64_t>(entry) >> 56); }
};

// Builds the lookups of a component's DC and AC tables, each in DHT payload
// layout (16 counts, then the symbols).
void buildHuffmanLookups(const unsigned char* dcTable, const unsigned char* acTable, HuffmanLookup& dc,
                         HuffmanLookup& ac);

// The EXTEND rule: size bits read as v give v when the first bit is 1 and
// v - (2^size - 1) when it is 0.
constexpr int32_t extendMagnitude(uint32_t bits, int size) {
    return bits >= (uint32_t{1} << (size - 1)) ? static_cast<int32_t>(bits)
                                              : static_cast<int32_t>(bits) - ((int32_t{1} << size) - 1);
}

}  // namespace vorc::jpeg

#endif
