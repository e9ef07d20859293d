// Piece sizes and AddressSanitizer poisoning of the fuzz targets' source.
#include "exact_size_source.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "fuzz_check.h"

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

void ExactSizeSource::markReceived(unsigned char* buffer, size_t received, size_t room) {
#ifdef VORC_FUZZ_ASAN
    // The room offered must be the parser's own memory, poisoned at most
    // where this source poisoned it: unpoisoning a heap redzone or freed
    // memory would hide the very overrun that the exact-size buffer is there
    // to show.
    const auto start = reinterpret_cast<uintptr_t>(buffer);
    const auto end = start + room;
    const auto foreign = [](uintptr_t from, uintptr_t to) {
        return from < to && __asan_region_is_poisoned(reinterpret_cast<void*>(from), to - from) != nullptr;
    };
    if (foreign(start, std::min(end, std::max(start, poisonedFrom_))) ||
        foreign(std::max(start, std::min(end, poisonedTo_)), end))
        failCheck("stream source", "the parser offered room outside its buffer");
    ASAN_UNPOISON_MEMORY_REGION(buffer, received);
    ASAN_POISON_MEMORY_REGION(buffer + received, room - received);
    if (received < room) {
        poisonedFrom_ = poisonedFrom_ < poisonedTo_ ? std::min(poisonedFrom_, start + received) : start + received;
        poisonedTo_ = std::max(poisonedTo_, end);
    }
#else
    (void)buffer;
    (void)received;
    (void)room;
#endif
}

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
