// Test support: a stream source that serves a byte vector in pieces of
// chosen sizes, so tests can split markers, lengths and scans anywhere.
#ifndef VORC_TESTS_SUPPORT_PIECE_SOURCE_H
#define VORC_TESTS_SUPPORT_PIECE_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vorc/core/stream_interfaces.h"

namespace vorctest {

class PieceSource : public vorcStreamSource {
public:
    // Each fetch delivers at most the next piece size (cycling through
    // pieceSizes; an empty list means everything at once) and at most what
    // was asked for. Optionally logs its destruction into destroyLog.
    PieceSource(std::vector<uint8_t> bytes, std::vector<size_t> pieceSizes = {},
                std::shared_ptr<std::vector<std::string>> destroyLog = nullptr);
    ~PieceSource() override;

    int fetchBytes(unsigned char* buffer, int maxBytes) override;
    bool stillUp() override { return position_ < bytes_.size(); }

    // Random piece sizes between 1 and maxPiece, reproducible from seed.
    static std::vector<size_t> randomPieces(size_t total, size_t maxPiece, unsigned seed);

private:
    std::vector<uint8_t> bytes_;
    std::vector<size_t> pieceSizes_;
    std::shared_ptr<std::vector<std::string>> destroyLog_;
    size_t position_ = 0;
    size_t nextPiece_ = 0;
    size_t pieceLeft_ = 0;
};

}  // namespace vorctest

#endif
