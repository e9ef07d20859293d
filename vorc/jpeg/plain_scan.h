// A scan's clean part as plain bits, for the fast readers of the pixel
// decoder and the transcoder (parser -> scan decoder): the bytes before the
// first marker, with the 00 stuffed after each FF taken out, so that a
// reader needs no check per byte; the way between a byte of the plain bits
// and the same byte of the scan, for the hand-over to the bit-serial
// reader, which reads the scan itself; and plain bytes stuffed again, for
// the transcoder's images.
#ifndef VORC_JPEG_PLAIN_SCAN_H
#define VORC_JPEG_PLAIN_SCAN_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorc::jpeg {

// Copies the clean part of a scan, [begin, cleanEnd), into `plain` without
// the 00 stuffed after each FF, and returns the bytes written; `ffOffsets`
// gets the plain offset of each FF. cleanEnd is the first byte that is an
// FF without a stuffed 00 after it, or the scan's end.
size_t copyPlainBits(const unsigned char* begin, const unsigned char* cleanEnd, unsigned char* plain,
                     std::vector<uint32_t>& ffOffsets);

// The other way: copies `count` plain bytes into `scan` with a 00 stuffed
// after each FF, and returns the bytes written (at most twice `count`).
size_t copyStuffedBytes(const unsigned char* plain, size_t count, unsigned char* scan);

// The plain offset of the scan's byte at `scanOffset`, a data byte (not a
// stuffed 00) or the clean end, and back.
size_t plainOffsetOf(size_t scanOffset, const std::vector<uint32_t>& ffOffsets);
size_t scanOffsetOf(size_t plainOffset, const std::vector<uint32_t>& ffOffsets);

}  // namespace vorc::jpeg

#endif
