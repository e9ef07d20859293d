// Entropy coder of the stream encoder (pictures -> encoder -> Tesra stream):
// turns the quantised blocks of the coded tiles into the bits of a scan,
// with the four standard Huffman tables that every reader decodes with, on
// the same bit writer and block coder as the transcoder's images. DC
// prediction runs over the blocks in the order they are given, which in a
// Tesra scan means over the coded tiles only.
#ifndef VORC_ENCODE_SCAN_ENTROPY_CODER_H
#define VORC_ENCODE_SCAN_ENTROPY_CODER_H

#include <cstdint>
#include <optional>
#include <vector>

#include "vorc/jpeg/bit_writer.h"

namespace vorc {

class ScanEntropyCoder {
public:
    enum Component { Luminance = 0, BlueDifference = 1, RedDifference = 2 };

    // Starts a scan that appends to out (not owned; it must outlive the
    // scan): predictors at 0, no pending bits.
    void beginScan(std::vector<unsigned char>* out);
    // 64 quantised values in natural order, each within -1023..1023.
    void encodeBlock(Component component, const int16_t* block);
    // Pads the last byte with 1 bits, so a reader never takes the padding
    // for a code, and appends the scan to the vector given to beginScan.
    void endScan();

private:
    int32_t predictors_[3] = {0, 0, 0};
    std::vector<unsigned char>* out_ = nullptr;
    vorc::jpeg::ByteBuffer buffer_;
    std::optional<vorc::jpeg::ScanBitWriter> writer_;
};

}  // namespace vorc

#endif
