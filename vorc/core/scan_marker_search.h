// The parser's search for the end of an entropy-coded scan: inside a scan
// every data byte FF is followed by a stuffed 00, so the first FF that is
// not is the marker that ends the scan (or a fault the parser rejects).
// Internal to the parser (source -> parser -> scan decoder -> back end).
#ifndef VORC_CORE_SCAN_MARKER_SEARCH_H
#define VORC_CORE_SCAN_MARKER_SEARCH_H

namespace vorc::detail {

// The first FF in [from, end) that is not followed by 00: a marker, or an
// FF that is the last byte of the range, whose next byte is still to come.
// end when there is none. Reads no byte outside the range.
const unsigned char* findScanMarker(const unsigned char* from, const unsigned char* end);

// The same, one FF after the other: the reference for the one above, and
// what it uses for the last few bytes of a range.
const unsigned char* findScanMarkerSerially(const unsigned char* from, const unsigned char* end);

}  // namespace vorc::detail

#endif
