// Test support: piece-wise byte source.
#include "support/piece_source.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace vorctest {

PieceSource::PieceSource(std::vector<uint8_t> bytes, std::vector<size_t> pieceSizes,
                         std::shared_ptr<std::vector<std::string>> destroyLog)
    : bytes_(std::move(bytes)), pieceSizes_(std::move(pieceSizes)), destroyLog_(std::move(destroyLog)) {}

PieceSource::~PieceSource() {
    if (destroyLog_) destroyLog_->push_back("source destroyed");
}

int PieceSource::fetchBytes(unsigned char* buffer, int maxBytes) {
    if (maxBytes <= 0 || position_ >= bytes_.size()) return 0;
    size_t count = bytes_.size() - position_;
    if (!pieceSizes_.empty()) {
        if (pieceLeft_ == 0) {
            pieceLeft_ = std::max<size_t>(pieceSizes_[nextPiece_ % pieceSizes_.size()], 1);
            ++nextPiece_;
        }
        count = std::min(count, pieceLeft_);
    }
    count = std::min(count, static_cast<size_t>(maxBytes));
    std::memcpy(buffer, bytes_.data() + position_, count);
    position_ += count;
    if (!pieceSizes_.empty()) pieceLeft_ -= count;
    return static_cast<int>(count);
}

std::vector<size_t> PieceSource::randomPieces(size_t total, size_t maxPiece, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<size_t> size(1, maxPiece);
    std::vector<size_t> pieces;
    for (size_t sum = 0; sum < total;) {
        pieces.push_back(size(generator));
        sum += pieces.back();
    }
    return pieces;
}

}  // namespace vorctest
