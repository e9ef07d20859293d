// Baseline Huffman coding of 8x8 blocks of quantised coefficients with the
// standard tables of ITU-T T.81 Annex K, into a bit writer: the code books,
// DC differences and the AC coefficients of a block in zig-zag order. Used by
// the transcoder whenever a tile's bits have to be made afresh. Internal to
// the library: vorc/vorc.h leaves it out.
#ifndef VORC_JPEG_BLOCK_ENCODER_H
#define VORC_JPEG_BLOCK_ENCODER_H

#include <cstdint>

#include "vorc/core/fatal_error.h"
#include "vorc/jpeg/jpeg_format.h"
#include "vorc/jpeg/bit_writer.h"

namespace vorc::jpeg {

// One code word of a table.
struct HuffmanCode {
    uint16_t bits = 0;
    uint8_t length = 0;
};

// The codes of one component class: DC by magnitude category, AC by symbol
// (zero run in the high nibble, magnitude category in the low one).
struct EncoderCodeBook {
    HuffmanCode dc[16];
    HuffmanCode ac[256];
};

enum ComponentClass { Luminance = 0, Chrominance = 1 };

// Built from the standard tables at first use; the same for the life of the
// process.
const EncoderCodeBook& standardCodeBook(ComponentClass componentClass);

// The largest DC difference written (2046, not 2047: the decoders' predictor
// arithmetic is kept to what 16 bits hold either way) and the largest AC
// magnitude the standard AC tables have a code for.
constexpr int MaxDCDifference = 2046;
constexpr int MaxACMagnitude = 1023;

// Number of significant bits of a magnitude: its category (0 for 0).
inline unsigned magnitudeCategory(uint32_t magnitude) {
    return magnitude == 0 ? 0u : 32u - static_cast<unsigned>(__builtin_clz(magnitude));
}

// The code of a value's category followed by its magnitude bits: the value
// itself when positive, the low bits of value - 1 when negative (F.1.2.1).
template <bool StuffAfterFF>
[[gnu::always_inline]] inline void putCodedValue(BitWriter<StuffAfterFF>& writer, const HuffmanCode& code, int value,
                   unsigned category) {
    const uint32_t magnitudeBits =
        static_cast<uint32_t>(value < 0 ? value - 1 : value) & ((1u << category) - 1u);
    writer.put(static_cast<uint32_t>(code.bits) << category | magnitudeBits, code.length + category);
}

// A DC difference; one outside +-MaxDCDifference is a fatal stream error.
template <bool StuffAfterFF>
[[gnu::always_inline]] inline void putDCDifference(BitWriter<StuffAfterFF>& writer, int difference, const EncoderCodeBook& book) {
    if (difference < -MaxDCDifference || difference > MaxDCDifference)
        vorc::failStream("Out of Range", nullptr);
    const unsigned category =
        magnitudeCategory(static_cast<uint32_t>(difference < 0 ? -difference : difference));
    putCodedValue(writer, book.dc[category], difference, category);
}

// The 63 AC coefficients of a block in natural order: runs of more than 15
// zeros before a value as ZRL codes, trailing zeros as EOB. A magnitude
// without a code is a fatal stream error.
template <bool StuffAfterFF>
void putACCoefficients(BitWriter<StuffAfterFF>& writer, const int16_t* block,
                       const EncoderCodeBook& book) {
    constexpr unsigned char EndOfBlock = 0x00;
    constexpr unsigned char SixteenZeros = 0xF0;
    unsigned run = 0;
    for (int k = 1; k < 64; ++k) {
        const int value = block[ZigZagNaturalOrder[k]];
        if (value == 0) {
            ++run;
            continue;
        }
        for (; run > 15; run -= 16)
            writer.put(book.ac[SixteenZeros].bits, book.ac[SixteenZeros].length);
        const int magnitude = value < 0 ? -value : value;
        if (magnitude > MaxACMagnitude) vorc::failStream("Out of Range", nullptr);
        const unsigned category = magnitudeCategory(static_cast<uint32_t>(magnitude));
        putCodedValue(writer, book.ac[run << 4 | category], value, category);
        run = 0;
    }
    if (run != 0) writer.put(book.ac[EndOfBlock].bits, book.ac[EndOfBlock].length);
}

}  // namespace vorc::jpeg

#endif
