// The portable reference kernels (scan decoder -> kernels -> back end, and
// the encoder's forward transform): plain C++ whose results define what
// every accelerated kernel must produce. The inverse DCT's passes and its
// clip table are also what the pixel decoder's idct members expose.
#ifndef VORC_DSP_REFERENCE_KERNELS_H
#define VORC_DSP_REFERENCE_KERNELS_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "vorc/dsp/kernel_table.h"

namespace vorc::dsp::reference {

// Saturation of the inverse DCT's column pass to -256..255: entry
// i + ClipTableCentre holds clip(i) for i in -512..511.
constexpr int ClipTableCentre = 512;
constexpr std::array<int16_t, 2 * ClipTableCentre> makeInverseDctClipTable() {
    std::array<int16_t, 2 * ClipTableCentre> table{};
    for (int i = -ClipTableCentre; i < ClipTableCentre; ++i)
        table[static_cast<size_t>(i + ClipTableCentre)] = static_cast<int16_t>(i < -256 ? -256 : (i > 255 ? 255 : i));
    return table;
}
inline constexpr std::array<int16_t, 2 * ClipTableCentre> InverseDctClipTable = makeInverseDctClipTable();

// The integer inverse DCT in place: rows, then columns; results in -256..255.
void inverseDct(int16_t* block);
void inverseDctRow(int16_t* row);
void inverseDctColumn(int16_t* column);

void dequantizeTransformBlock(int16_t* coefficients, const uint16_t* quantizer, uint8_t* samples);
void convertTileToRgb(const TileSamples& samples, unsigned char* target, ptrdiff_t rowStep);
void forwardTransformBlock(const unsigned char* samples, int32_t* coefficients);
const unsigned char* findScanMarker(const unsigned char* from, const unsigned char* end);
size_t copyPlainBits(const unsigned char* begin, const unsigned char* cleanEnd, unsigned char* plain,
                     std::vector<uint32_t>& ffOffsets);
size_t copyStuffedBits(const unsigned char* plain, unsigned shift, size_t count, unsigned char* scan);

}  // namespace vorc::dsp::reference

#endif
