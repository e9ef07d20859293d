// The kernel table: the one place where the inner loops of the parser, the
// pixel decoder and the encoder plug in (scan decoder -> kernels -> back end). A
// table is chosen once, at first use, from the CPU's features; VORC_CPU=generic
// forces the portable reference kernels. Every accelerated kernel gives
// exactly the results of its reference, bit for bit.
#ifndef VORC_DSP_KERNEL_TABLE_H
#define VORC_DSP_KERNEL_TABLE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorc::jpeg {
class ScanBitReader;
struct StandardLookups;
enum class FastBlockOutcome;
}  // namespace vorc::jpeg

namespace vorc::dsp {

constexpr int BlockSize = 64;
constexpr int BlocksPerTile = 6;

// Level-shifted samples of one tile: luminance blocks top-left, top-right,
// bottom-left, bottom-right, then the Cb and the Cr block.
using TileSamples = uint8_t[BlocksPerTile][BlockSize];

struct KernelTable {
    // What runs, as getAccelerationTypeString() reports it: "avx2", "sse2", "none".
    const char* name;
    // Multiplies 64 coefficients (natural order) by the quantiser, keeping
    // the low 16 bits of each product, applies the integer inverse DCT and
    // turns the results into samples 0..255; leaves the coefficients zero,
    // as the fast tile decoder wants its blocks.
    void (*dequantizeTransformBlock)(int16_t* coefficients, const uint16_t* quantizer, uint8_t* samples);
    // Writes the tile's 16 rows of 16 RGB pixels; row r starts at target + r * rowStep.
    void (*convertTileToRgb)(const TileSamples& samples, unsigned char* target, ptrdiff_t rowStep);
    // The encoder's forward DCT: 64 samples 0..255 to 64 coefficients,
    // eight times the orthonormal transform of the level-shifted samples.
    void (*forwardTransformBlock)(const unsigned char* samples, int32_t* coefficients);
    // The first FF in [from, end) that is not followed by a stuffed 00: the
    // marker that ends a scan, or an FF as the range's last byte, whose next
    // byte is still to come; end when there is none. Reads no byte outside
    // the range.
    const unsigned char* (*findScanMarker)(const unsigned char* from, const unsigned char* end);
    // The clean part of a scan, [begin, cleanEnd), without the 00 stuffed
    // after each FF: how many bytes it made of plain, and in ffOffsets the
    // plain offset of each FF. cleanEnd is the first byte that is an FF
    // without a stuffed 00 after it, or the scan's end. It may write up to
    // cleanEnd - begin bytes of plain.
    size_t (*copyPlainBits)(const unsigned char* begin, const unsigned char* cleanEnd, unsigned char* plain,
                            std::vector<uint32_t>& ffOffsets);
    // The other way, from any bit of a byte on: `count` bytes, byte i the 8
    // bits from bit `shift` (0 to 7, 0 the most significant) of plain[i] on,
    // with a 00 after each FF; how many bytes it made of scan. It may write
    // up to twice `count` bytes, and reads plain[count] too unless shift is
    // 0. The transcoder's long copies of kept bits into its image.
    size_t (*copyStuffedBits)(const unsigned char* plain, unsigned shift, size_t count, unsigned char* scan);
    // Entropy-decodes a tile's six blocks with the fast reader, as
    // jpeg::decodeTileWith() tells. Null in the reference table, with which
    // the pixel decoder reads bit-serially.
    jpeg::FastBlockOutcome (*decodeTile)(jpeg::ScanBitReader& reader, const jpeg::StandardLookups& lookups,
                                         int16_t (*blocks)[BlockSize], int16_t* predictors, int* lastPositions);
};

// The table in use: the fastest this CPU supports unless VORC_CPU=generic.
const KernelTable& selectedKernels();
// The portable kernels, named "none".
const KernelTable& referenceKernels();
// Every table this CPU can run, the reference first.
std::vector<const KernelTable*> supportedKernelTables();

// The sample that a block with only a DC coefficient decodes to in every
// position: the inverse DCT's shortcut for such blocks. The row pass scales
// the lone value by 8 into 16 bits, the column pass rounds it down by 64
// and clips it.
inline uint8_t dcOnlySample(int16_t coefficient, uint16_t quantizer) {
    const auto dequantized = static_cast<int16_t>(int32_t{coefficient} * quantizer);
    const auto rowValue = static_cast<int16_t>(static_cast<uint32_t>(int32_t{dequantized}) << 3);
    const int32_t sample = (rowValue + 32) >> 6;
    return static_cast<uint8_t>((sample < -128 ? -128 : (sample > 127 ? 127 : sample)) + 128);
}

}  // namespace vorc::dsp

#endif
