// The coded tiles of a frame, from its bitmap.
#include "vorc/parse/coded_tiles.h"

#include <algorithm>
#include <cstring>

namespace vorc {

namespace {

// The set bits of each byte of the word, in that byte: counted without a
// call into the compiler's run-time library where the target has no
// population count instruction.
uint64_t bitsSetPerByte(uint64_t word) {
    word -= (word >> 1) & 0x5555555555555555u;
    word = (word & 0x3333333333333333u) + ((word >> 2) & 0x3333333333333333u);
    return (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
}

int bitsSet(uint64_t word) { return static_cast<int>((bitsSetPerByte(word) * 0x0101010101010101u) >> 56); }

// The set bits of whole words, summed byte by byte over up to 31 words (at
// most 248 in a byte) before the bytes are added up.
int64_t bitsSetInWords(const unsigned char* bytes, size_t words) {
    constexpr size_t WordsPerSum = 31;
    int64_t total = 0;
    for (size_t at = 0; at < words;) {
        const size_t end = std::min(words, at + WordsPerSum);
        uint64_t byteCounts = 0;
        for (; at < end; ++at) {
            uint64_t word = 0;
            std::memcpy(&word, bytes + at * sizeof word, sizeof word);
            byteCounts += bitsSetPerByte(word);
        }
        const uint64_t pairCounts = (byteCounts & 0x00FF00FF00FF00FFu) + ((byteCounts >> 8) & 0x00FF00FF00FF00FFu);
        total += static_cast<int64_t>((pairCounts * 0x0001000100010001u) >> 48);
    }
    return total;
}

}  // namespace

int64_t codedTiles(const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor& frame) {
    const int64_t tiles = static_cast<int64_t>(frame.tileColumns) * frame.tileRows;
    if (frame.tileBitmap == nullptr) return tiles;
    const unsigned char* const bitmap = frame.tileBitmap;
    const size_t wholeBytes = static_cast<size_t>(tiles / 8);
    const size_t words = wholeBytes / sizeof(uint64_t);
    int64_t coded = bitsSetInWords(bitmap, words);
    for (size_t at = words * sizeof(uint64_t); at < wholeBytes; ++at) coded += bitsSet(bitmap[at]);
    if (const int64_t lastBits = tiles % 8; lastBits != 0)
        coded += bitsSet(bitmap[wholeBytes] & (0xFF00u >> lastBits) & 0xFFu);
    return coded;
}

}  // namespace vorc
