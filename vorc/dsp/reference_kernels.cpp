// The reference pixel kernels of the pixel decoder: dequantisation with
// 16-bit products, the inverse DCT and level shift of one block, and the
// colour conversion of one tile, written as directly as the arithmetic is
// defined. The accelerated kernels are checked against these.
#include "vorc/dsp/reference_kernels.h"

namespace vorc::dsp::reference {

namespace {

constexpr int TileSize = 16;
constexpr int BytesPerPixel = 3;

// Fixed-point (x 1024) colour multipliers of the stream's decoder; not the
// JFIF ones.
constexpr int32_t RedFromV = 1167;
constexpr int32_t GreenFromU = 403;
constexpr int32_t GreenFromV = 595;
constexpr int32_t BlueFromU = 2081;

inline int32_t clampInt(int32_t value, int32_t low, int32_t high) {
    return value < low ? low : (value > high ? high : value);
}

inline unsigned char colourByte(int32_t fixedPoint) {
    return static_cast<unsigned char>(clampInt(fixedPoint >> 10, 0, 255));
}

}  // namespace

void dequantizeTransformBlock(int16_t* coefficients, const uint16_t* quantizer, uint8_t* samples) {
    int16_t block[BlockSize];
    for (int i = 0; i < BlockSize; ++i) {
        block[i] = static_cast<int16_t>(int32_t{coefficients[i]} * quantizer[i]);
        coefficients[i] = 0;
    }
    inverseDct(block);
    for (int i = 0; i < BlockSize; ++i) samples[i] = static_cast<uint8_t>(clampInt(block[i], -128, 127) + 128);
}

void convertTileToRgb(const TileSamples& samples, unsigned char* target, ptrdiff_t rowStep) {
    const uint8_t* const u = samples[4];
    const uint8_t* const v = samples[5];
    for (int y = 0; y < TileSize; ++y) {
        unsigned char* out = target + y * rowStep;
        for (int x = 0; x < TileSize; ++x) {
            const int32_t luma = samples[2 * (y / 8) + x / 8][8 * (y % 8) + x % 8];
            const int chromaIndex = 8 * (y / 2) + x / 2;
            const int32_t blueDiff = u[chromaIndex] - 128;
            const int32_t redDiff = v[chromaIndex] - 128;
            const int32_t scaledLuma = 1024 * luma;
            out[0] = colourByte(scaledLuma + RedFromV * redDiff);
            out[1] = colourByte(scaledLuma - GreenFromU * blueDiff - GreenFromV * redDiff);
            out[2] = colourByte(scaledLuma + BlueFromU * blueDiff);
            out += BytesPerPixel;
        }
    }
}

}  // namespace vorc::dsp::reference
