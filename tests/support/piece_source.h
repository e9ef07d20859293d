// Test support: a stream source that serves a byte vector in pieces of
// chosen sizes, so tests can split markers, lengths and scans anywhere.
#ifndef VORC_TESTS_SUPPORT_PIECE_SOURCE_H
#define VORC_TESTS_SUPPORT_PIECE_SOURCE_H

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "vorc/core/stream_interfaces.h"

namespace vorctest {

class PieceSource : public vorcStreamSource {
public:
    // Each fetch delivers at most the next piece size (cycling through
    // pieceSizes; an empty list means everything at once) and at most what
    // was asked for.
    PieceSource(std::vector<uint8_t> bytes, std::vector<size_t> pieceSizes = {})
        : bytes_(std::move(bytes)), pieces_(std::move(pieceSizes)) {}

    int fetchBytes(unsigned char* buffer, int maxBytes) override {
        size_t count =
            std::min(bytes_.size() - position_, static_cast<size_t>(std::max(maxBytes, 0)));
        if (!pieces_.empty()) {
            if (pieceLeft_ == 0)
                pieceLeft_ = std::max<size_t>(pieces_[nextPiece_++ % pieces_.size()], 1);
            count = std::min(count, pieceLeft_);
            pieceLeft_ -= count;
        }
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(position_), count, buffer);
        position_ += count;
        return static_cast<int>(count);
    }
    bool stillUp() override { return position_ < bytes_.size(); }

    // Random piece sizes between 1 and maxPiece, reproducible from seed.
    static std::vector<size_t> randomPieces(size_t total, size_t maxPiece, unsigned seed) {
        std::mt19937 generator(seed);
        std::uniform_int_distribution<size_t> size(1, maxPiece);
        std::vector<size_t> pieces;
        for (size_t sum = 0; sum < total; sum += pieces.back()) pieces.push_back(size(generator));
        return pieces;
    }

private:
    std::vector<uint8_t> bytes_;
    std::vector<size_t> pieces_;
    size_t position_ = 0, nextPiece_ = 0, pieceLeft_ = 0;
};

}  // namespace vorctest

#endif
