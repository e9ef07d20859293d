// A scan's clean part as plain bits, which the fast readers of the pixel
// decoder and the transcoder read (parser -> scan decoder): the bytes
// before the first marker with the 00 stuffed after each FF taken out (the
// kernel table's copyPlainBits), so that a reader needs no check per byte.
// Here, the way between a byte of the plain bits and the same byte of the
// scan, by the plain offsets of the FF bytes, for the hand-over to the
// bit-serial reader, which reads the scan itself.
#ifndef VORC_JPEG_PLAIN_SCAN_H
#define VORC_JPEG_PLAIN_SCAN_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorc::jpeg {

// A point in a scan as the bit-serial reader keeps it: the byte holding the
// next bit and that bit's mask.
struct ScanPosition {
    const unsigned char* byte;
    uint8_t mask;
};

// The plain offset of the scan's byte at `scanOffset`, a data byte (not a
// stuffed 00) or the clean end, and back.
size_t plainOffsetOf(size_t scanOffset, const std::vector<uint32_t>& ffOffsets);
size_t scanOffsetOf(size_t plainOffset, const std::vector<uint32_t>& ffOffsets);

}  // namespace vorc::jpeg

#endif
