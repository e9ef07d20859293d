// The pixel decoder: the scan decoder that turns each collected frame into
// RGB pixels (source -> parser -> scan decoder -> back end). It walks the
// frame's coded tiles, entropy-decodes each one's six blocks with the default
// tables, dequantises them, applies the integer inverse DCT, converts to RGB
// and writes the 16x16 pixels into the target its back end provides. The
// pixel work runs in the kernels of a kernel table; with the reference table
// the scan is read bit by bit as well, otherwise by the fast reader, which
// hands over to the bit-serial one near the end of the scan.
#ifndef VORC_DECODE_SCAN_DECODER_SOFTWARE_H
#define VORC_DECODE_SCAN_DECODER_SOFTWARE_H

#include <array>
#include <cstdint>
#include <memory>

#include "vorc/jpeg/jpeg_format.h"
#include "vorc/parse/scan_decoder.h"
#include "vorc/decode/huffman_tree.h"

namespace vorc::dsp {
struct KernelTable;
}  // namespace vorc::dsp

class vorcFramewiseTesraScanDecoderSoftwareOnly : public vorcFramewiseTesraScanDecoder {
public:
    // Builds the four trees; throws vorcDidntWorkOutException if a default
    // table cannot be configured (std::bad_alloc passes through). Runs the
    // kernels chosen for this CPU.
    vorcFramewiseTesraScanDecoderSoftwareOnly();
    // The same with the given kernels; vorc::dsp::referenceKernels() gives
    // the bit-serial reference decoder.
    explicit vorcFramewiseTesraScanDecoderSoftwareOnly(const vorc::dsp::KernelTable& kernels);
    ~vorcFramewiseTesraScanDecoderSoftwareOnly() override;

    const char* getAccelerationTypeString() override;
    void setYQuantizationTable(unsigned char* table) override;
    void setUVQuantizationTable(unsigned char* table) override;
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override;

    // Bit reader over the current scan. consumeScanBit requires a byte left;
    // the other two return null / 1 when the scan has run out.
    int consumeScanBit();
    const vorcHuffmanTree::Node* consumeHuffmanCodeword(const vorcHuffmanTree::Node* node);
    int consumeAdditionalBits(int size);

    // Integer inverse DCT of one 8x8 block in place; results in -256..255.
    static void idct(short* block);
    static void idctrow(short* row);
    static void idctcol(short* column);

    // Entry k is the natural (row-major) index of the k-th zig-zag coefficient.
    static constexpr const int32_t (&ZigZagMap)[64] = vorc::jpeg::ZigZagNaturalOrder;

    // Saturation to -256..255 by lookup; iclp[i] is valid for i in -512..511.
    // Built at compile time, so it is ready before any decoder exists and is
    // never written while another thread reads it.
    static const std::array<int16_t, 1024>& iclip;
    static const int16_t* const iclp;

    std::unique_ptr<vorcHuffmanTree> yDCTree;
    std::unique_ptr<vorcHuffmanTree> yACTree;
    std::unique_ptr<vorcHuffmanTree> uvDCTree;
    std::unique_ptr<vorcHuffmanTree> uvACTree;
    uint16_t yQuantTable[64];   // natural order; 0 until set
    uint16_t uvQuantTable[64];  // shared by both chrominance components
    unsigned char* scanCursor;
    uint8_t scanBitMask;
    int32_t scanBytesLeft;
    int32_t additionalBitsValue;

private:
    using Block = int16_t[64];
    struct Workspace;
    struct Sweep;

    // Entropy-decodes one block with the bit-serial reader. False when the
    // scan ran out or the block overflowed.
    bool decodeBlockExactly(Sweep& sweep, int blockIndex);
    // Entropy-decodes the tile's blocks with the fast reader, kept in
    // registers throughout: how many blocks it decoded, which is all or, when
    // one used bits past the end of the clean part or met an invalid
    // codeword, none (the bit-serial reader takes over from the tile's
    // start); -1 when one overflowed.
    int decodeTileFast(Sweep& sweep);
    // Moves the bit-serial reader to where the fast reader stands, and
    // leaves the rest of the sweep to it.
    void handOverToExactReader(Sweep& sweep);
    // Turns a decoded block into samples 0..255 and zeroes it.
    void transformBlock(Sweep& sweep, int blockIndex);
    // Where a tile's pixels went, from which prefetchFor() guesses where
    // another tile's will go and fetches those lines for writing.
    struct TilePlace {
        int column = 0;
        int row = 0;
        uintptr_t target = 0;  // none yet
        std::ptrdiff_t rowStep = 0;
        void prefetchFor(int tileColumn, int tileRow) const;
    };
    // Writes the sweep's samples as the tile's pixels.
    TilePlace deliverTile(int tileColumn, int tileRow, const Sweep& sweep);

    // The kernels, and the memory a sweep reuses.
    std::unique_ptr<Workspace> workspace;
};

#endif
