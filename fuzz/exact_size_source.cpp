// Piece sizes and AddressSanitizer poisoning of the fuzz targets' source.
#include "exact_size_source.h"

#include <algorithm>
#include <cstring>
#include <limits>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORC_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VORC_FUZZ_ASAN 1
#endif
#ifdef VORC_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace vorcfuzz {

namespace {

void markReceived(unsigned char* buffer, size_t received, size_t room) {
#ifdef VORC_FUZZ_ASAN
    ASAN_UNPOISON_MEMORY_REGION(buffer, received);
    ASAN_POISON_MEMORY_REGION(buffer + received, room - received);
#else
    (void)buffer;
    (void)received;
    (void)room;
#endif
}

}  // namespace

ExactSizeSource::ExactSizeSource(const uint8_t* bytes, size_t size, uint8_t pieceSeed)
    : bytes_(new uint8_t[size]),
      size_(size),
      whole_((pieceSeed & 0x40) != 0),
      largestPiece_(static_cast<size_t>(pieceSeed & 0x3F) + 1),
      sequence_(pieceSeed) {
    if (size != 0) std::memcpy(bytes_.get(), bytes, size);
}

size_t ExactSizeSource::nextPieceSize() {
    if (whole_) return std::numeric_limits<size_t>::max();
    // A fixed linear congruential sequence: the same input splits the same way.
    sequence_ = sequence_ * 1103515245u + 12345u;
    return 1 + (sequence_ >> 16) % largestPiece_;
}

int ExactSizeSource::fetchBytes(unsigned char* buffer, int maxBytes) {
    if (maxBytes <= 0) return 0;
    const size_t room = static_cast<size_t>(maxBytes);
    const size_t count = std::min({room, size_ - position_, nextPieceSize()});
    markReceived(buffer, count, room);
    if (count != 0) std::memcpy(buffer, bytes_.get() + position_, count);
    position_ += count;
    return static_cast<int>(count);
}

}  // namespace vorcfuzz
