// The transcoder as it was before it kept the coded bits of its tiles: it
// decodes the coded tiles into the whole-picture coefficient store and
// entropy-codes every tile again for each image, into a fixed 1 MiB buffer.
// Kept for the tests and the differential fuzz target as the judge of the
// library's transcoder, whose images must match it byte for byte.
#ifndef VORC_TEST_SUPPORT_REFERENCE_TRANSCODER_H
#define VORC_TEST_SUPPORT_REFERENCE_TRANSCODER_H

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "vorc/jpeg/jpeg_format.h"
#include "vorc/decode/huffman_tree.h"
#include "vorc/jpeg/standard_tables.h"
#include "vorc/transcode/jpeg_converter.h"

namespace vorctest {

class ReferenceTranscoder
    : public vorcFramewiseTesraScanToJPEGConverter {
public:
    // One precomputed code: the Huffman code already shifted left by the
    // symbol's magnitude size (26 bits), one 0 bit, and the total length of
    // code plus magnitude bits (5 bits), from the most significant end.
    struct HuffCodeTblEntry {
        uint32_t word;
        constexpr uint32_t huffCode() const { return word >> 6; }
        constexpr uint32_t bitLength() const { return word & 0x1F; }
    };

    // DC and AC codes of one component class in one table: AC symbol
    // (run r, size s) at s * 16 + r, so EOB is entry 0 and ZRL entry 15; the
    // unused slots 1..12 (size 0, run 1..12) hold DC category c at 1 + c.
    static constexpr int FoldedEntries = 176;
    struct FoldedHuffTbl_DC_AC {
        HuffCodeTblEntry entries[FoldedEntries];
    };

    // Where the entropy-coded scan being made goes. bufferLimit is the end
    // of the output buffer.
    struct HuffmanBufferStateStructure {
        unsigned char* bufferStart;
        unsigned char* bufferLimit;
        unsigned char* writePos;
        uint32_t accu;  // pending bits from the top down, zeros below
        int32_t accuBitCount;
    };

    static constexpr size_t HuffmanOutputBufferSize = 1048576;
    static constexpr int CoefficientsPerTile = 384;

    // Takes ownership of the receiver (also when construction fails).
    explicit ReferenceTranscoder(vorcJPEGReceiver* jpegReceiver);
    ~ReferenceTranscoder() override;

    const char* getAccelerationTypeString() override;
    void setYQuantizationTable(unsigned char* table) override;
    void setUVQuantizationTable(unsigned char* table) override;
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override;

    // Natural index of the k-th coefficient in zig-zag order, and its inverse.
    static constexpr const int32_t (&ZigZagMap)[64] = vorc::jpeg::ZigZagNaturalOrder;
    static constexpr const uint8_t (&ZigZag_StoreMap)[64] = vorc::jpeg::ZigZagPositionOf.ofNatural;

protected:
    // Entropy encoder.
    void initHuffmanEncoderBufferState();
    void resetHuffmanEncoderBufferState();
    static void generateHuffTables1(const unsigned char* counts, const unsigned char* symbols,
                                    int isAC, HuffCodeTblEntry* entries);
    static void calcFoldedHuffTables();
    void encodeSubMCUTiles(short* block, short* lastDC, const FoldedHuffTbl_DC_AC* foldedTable,
                           HuffmanBufferStateStructure* bufferState);
    static void copyAccuToGlobalHuffBuffer(unsigned int accu,
                                           HuffmanBufferStateStructure* bufferState);
    void shutDownHuffAccu();

    struct FreeDeleter {
        void operator()(void* memory) const { std::free(memory); }
    };

    std::unique_ptr<unsigned char[]> huffmanOutputBuffer;
    std::unique_ptr<vorcHuffmanTree> yDCTree;
    std::unique_ptr<vorcHuffmanTree> yACTree;
    std::unique_ptr<vorcHuffmanTree> uvDCTree;
    std::unique_ptr<vorcHuffmanTree> uvACTree;
    uint16_t yQuantTable[64];
    uint16_t uvQuantTable[64];
    // Quantised coefficients, tile after tile: Y0 Y1 Y2 Y3 Cb Cr blocks of
    // 64 values in natural order, DC absolute.
    std::unique_ptr<int16_t[], FreeDeleter> CoeffBuffer;
    int32_t coeffTileColumns;
    int32_t coeffTileRows;
    const unsigned char* scanCursor;
    uint8_t scanBitMask;
    int32_t scanBytesLeft;
    int32_t additionalBitsValue;
    std::array<uint8_t, 18> app0Segment;
    std::array<uint8_t, 19> sof0Segment;
    std::array<uint8_t, 14> sosSegment;
    // Each transcoder has its own output state, so several can live in one
    // process, each writing only into its own buffer.
    HuffmanBufferStateStructure HuffmanBufferState;

    // Shared by all instances, computed once per process: [0] luminance,
    // [1] chrominance.
    static FoldedHuffTbl_DC_AC Huff_Y_UV[2];
    static constexpr const unsigned char (&HuffTbl_Y_UV_DC)[56] = vorc::jpeg::StandardDCTables;
    static constexpr const unsigned char (&HuffTbl_Y_UV_AC)[356] = vorc::jpeg::StandardACTables;
    // Magnitude bases 2^(n-1) of the bit reader, by size n; every size a
    // symbol's low nibble can name has an entry.
    static constexpr const int32_t (&bases)[16] = vorc::jpeg::MagnitudeBases;

private:
    // Which coefficient buffer a sweep decodes into; false when there is none.
    bool prepareCoefficientBuffer(const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor& frame);
    // 0 on success; on failure the back end has been told.
    int decodeTile(int16_t* tile, int16_t* predictors, const vorcHuffmanTree::Node* const* roots);
    int decodeBlock(int16_t* block, int16_t* predictor, const vorcHuffmanTree::Node* dcRoot,
                    const vorcHuffmanTree::Node* acRoot);
    void writeImage(const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor& frame);
    void writeHeader(const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor& frame);
    void encodePicture();
};

}  // namespace vorctest

#endif
