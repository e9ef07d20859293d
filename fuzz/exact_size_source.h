// The stream source of the fuzz targets, at the head of the chain source ->
// parser -> scan decoder -> back end. It serves one input in pieces of
// varying size, so that every marker, length field and scan can be split
// anywhere, and in builds with AddressSanitizer it poisons the room the
// parser offered but did not get filled: a read of a stream byte that has
// not been received yet is then reported, not just read as stale memory.
#ifndef VORC_FUZZ_EXACT_SIZE_SOURCE_H
#define VORC_FUZZ_EXACT_SIZE_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "vorc/core/stream_interfaces.h"

namespace vorcfuzz {

class ExactSizeSource : public vorcStreamSource {
public:
    // Copies the bytes. pieceSeed chooses the piece sizes: bit 6 set serves
    // all that is asked for at once, otherwise pieces of 1 to
    // (pieceSeed & 0x3F) + 1 bytes follow in a sequence derived from it.
    ExactSizeSource(const uint8_t* bytes, size_t size, uint8_t pieceSeed);

    int fetchBytes(unsigned char* buffer, int maxBytes) override;
    bool stillUp() override { return position_ < size_; }

private:
    size_t nextPieceSize();
    // Under AddressSanitizer: marks the received bytes readable and the rest
    // of the room offered unreadable.
    void markReceived(unsigned char* buffer, size_t received, size_t room);

    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_;
    size_t position_ = 0;
    bool whole_;
    size_t largestPiece_;
    uint32_t sequence_;
    // The span this source has marked unreadable in the parser's buffer.
    uintptr_t poisonedFrom_ = 0;
    uintptr_t poisonedTo_ = 0;
};

}  // namespace vorcfuzz

#endif
