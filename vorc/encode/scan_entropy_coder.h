// Entropy coder of the stream encoder (pictures -> encoder -> Tesra stream):
// turns the quantised blocks of the coded tiles into the bits of a scan,
// with the four default Huffman tables that every reader decodes with. DC
// prediction runs over the blocks in the order they are given, which in a
// Tesra scan means over the coded tiles only.
#ifndef VORC_ENCODE_SCAN_ENTROPY_CODER_H
#define VORC_ENCODE_SCAN_ENTROPY_CODER_H

#include <cstdint>
#include <vector>

class vorcScanEntropyCoder {
public:
    enum Component { Luminance = 0, BlueDifference = 1, RedDifference = 2 };

    // Builds the code books from the default tables.
    vorcScanEntropyCoder();

    // Starts a scan that appends to out (not owned; it must outlive the
    // scan): predictors at 0, no pending bits.
    void beginScan(std::vector<unsigned char>* out);
    // 64 quantised values in natural order, each within -1023..1023.
    void encodeBlock(Component component, const int16_t* block);
    // Pads the last byte with 1 bits, so a reader never takes the padding
    // for a code.
    void endScan();

private:
    struct Code {
        uint16_t bits = 0;
        uint8_t length = 0;
    };
    using CodeBook = std::vector<Code>;  // indexed by symbol, 256 entries

    static CodeBook makeCodeBook(const unsigned char* table);
    void putBits(uint32_t bits, int length);

    CodeBook dcCodes_[2];  // luminance, chrominance
    CodeBook acCodes_[2];
    int32_t predictors_[3] = {0, 0, 0};
    std::vector<unsigned char>* out_ = nullptr;
    uint32_t pendingBits_ = 0;
    int pendingCount_ = 0;
};

#endif
