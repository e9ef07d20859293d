// The JPEG transcoder: a scan decoder that never decodes pixels. It writes
// the whole picture as one baseline JPEG image for every frame, for its JPEG
// receiver (an MJPEG stream, numbered files), as if it kept the quantised
// DCT coefficients of the whole picture and overwrote those of the tiles
// each frame carries. In the chain source -> parser -> scan decoder -> back
// end it takes the scan decoder's place; the back end only hears of handled
// tiles and failed frames.
//
// Only the tiles a frame carries are work: each one's codes are walked
// (checked and measured, not decoded), and its bits are taken from the
// frame's scan when they are exactly what a baseline encoder writes for its
// coefficients; any other tile is decoded into the coefficient store and
// coded afresh. A tile bit store keeps every tile's bits, from which each
// image's scan is copied.
//
// jpeg_converter.cpp holds set-up, transcode_sweep.cpp the per-frame sweep
// and the image, tile_bit_store.* the kept bits.
#ifndef VORC_TRANSCODE_JPEG_CONVERTER_H
#define VORC_TRANSCODE_JPEG_CONVERTER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "vorc/jpeg/jpeg_format.h"
#include "vorc/parse/scan_decoder.h"
#include "vorc/decode/huffman_tree.h"
#include "vorc/sinks/jpeg_receiver.h"

namespace vorc::jpeg {
class ScanBitReader;
struct ScanPosition;
struct WalkTables;
}  // namespace vorc::jpeg

class vorcFramewiseTesraScanToJPEGConverter : public vorcFramewiseTesraScanDecoder {
public:
    // Takes ownership of the receiver.
    explicit vorcFramewiseTesraScanToJPEGConverter(vorcJPEGReceiver* jpegReceiver);
    ~vorcFramewiseTesraScanToJPEGConverter() override;

protected:
    std::unique_ptr<vorcJPEGReceiver> jpegReceiver;
};

class vorcFramewiseTesraScanToJPEGConverterSoftwareOnly
    : public vorcFramewiseTesraScanToJPEGConverter {
public:
    static constexpr int CoefficientsPerTile = vorc::jpeg::CoefficientsPerTile;

    // Takes ownership of the receiver (also when construction fails).
    explicit vorcFramewiseTesraScanToJPEGConverterSoftwareOnly(vorcJPEGReceiver* jpegReceiver);
    ~vorcFramewiseTesraScanToJPEGConverterSoftwareOnly() override;

    const char* getAccelerationTypeString() override;
    void setYQuantizationTable(unsigned char* table) override;
    void setUVQuantizationTable(unsigned char* table) override;
    void performScanSweep(vorcFramewiseTesraDecoder::UndecodedFrameDescriptor* frame) override;

    // Natural index of the k-th coefficient in zig-zag order, and its inverse.
    static constexpr const int32_t (&ZigZagMap)[64] = vorc::jpeg::ZigZagNaturalOrder;
    static constexpr const uint8_t (&ZigZag_StoreMap)[64] = vorc::jpeg::ZigZagPositionOf.ofNatural;

protected:
    // Scan bit reader.
    int consumeScanBit();
    const vorcHuffmanTree::Node* consumeHuffmanCodeword(const vorcHuffmanTree::Node* node);
    int consumeAdditionalBits(int size);

    struct FreeDeleter {
        void operator()(void* memory) const { std::free(memory); }
    };

    std::unique_ptr<vorcHuffmanTree> yDCTree;
    std::unique_ptr<vorcHuffmanTree> yACTree;
    std::unique_ptr<vorcHuffmanTree> uvDCTree;
    std::unique_ptr<vorcHuffmanTree> uvACTree;
    uint16_t yQuantTable[64];
    uint16_t uvQuantTable[64];
    // Quantised coefficients, tile after tile: Y0 Y1 Y2 Y3 Cb Cr blocks of
    // 64 values in natural order, DC absolute. A tile whose bits were taken
    // by walking them has older coefficients here until tileBits restores
    // them.
    std::unique_ptr<int16_t[], FreeDeleter> CoeffBuffer;
    int32_t coeffTileColumns;
    int32_t coeffTileRows;
    const unsigned char* scanCursor;
    uint8_t scanBitMask;
    int32_t scanBytesLeft;
    int32_t additionalBitsValue;
    // The segments every image carries as they are; the picture size is
    // written into sof0Segment for each image.
    std::array<uint8_t, 18> app0Segment;
    std::array<uint8_t, 19> sof0Segment;
    std::array<uint8_t, 14> sosSegment;

    // Magnitude bases 2^(n-1) of the bit reader, by size n; every size a
    // symbol's low nibble can name has an entry.
    static constexpr const int32_t (&bases)[16] = vorc::jpeg::MagnitudeBases;

private:
    // The kept tile bits, the image being written and the scan readers.
    struct Workspace;
    std::unique_ptr<Workspace> workspace;

    // Which coefficient buffer a sweep decodes into; false when there is none.
    bool prepareCoefficientBuffer(const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor& frame);
    // The frame's coded tiles, each walked on its own or walked ahead
    // together; false when a tile failed and the back end has been told.
    bool sweepWalkingEachTile(const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor& frame,
                              const vorcHuffmanTree::Node* const* roots);
    bool sweepWalkingAhead(const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor& frame,
                           const vorcHuffmanTree::Node* const* roots);
    bool keepWalkedTile(size_t tile, size_t index, const unsigned char* base, uint64_t endBit, int16_t* predictors);
    // Whether a tile was taken by walking its codes; if not, the walk reader
    // and the predictors are still at its start.
    bool walkTile(size_t tile, int16_t* predictors, const vorc::jpeg::WalkTables& tables);
    // The walk goes on from a bit of the store's plain bits of the scan.
    void walkFrom(uint64_t bit);
    void readExactlyFrom(vorc::jpeg::ScanPosition at);
    // 0 on success; on failure the back end has been told.
    int decodeTile(size_t tile, int16_t* predictors, const vorcHuffmanTree::Node* const* roots);
    template <typename Watcher>
    int decodeBlock(int16_t* block, int16_t* predictor, const vorcHuffmanTree::Node* dcRoot,
                    const vorcHuffmanTree::Node* acRoot, Watcher watcher);
    int decodeBlockOnEitherReader(int16_t* block, int16_t& predictor, int componentClass,
                                  const vorcHuffmanTree::Node* const* roots, bool& canonical);
    // Where the reader in use stands.
    vorc::jpeg::ScanPosition readerPosition() const;
    // Hands over from the fast reader to the bit-serial one, at `from`.
    void continueBitSerially(const vorc::jpeg::ScanBitReader& from);
    void writeImage(const vorcFramewiseTesraDecoder::UndecodedFrameDescriptor& frame);
};

#endif
