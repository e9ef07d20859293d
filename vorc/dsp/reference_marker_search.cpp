// The reference search for the end of an entropy-coded scan, one FF after
// the other: an FF with a 00 after it is stuffing, any other FF is the
// marker that ends the scan. The parser finds a frame's end with it, the
// scan decoders the clean part their fast readers may take.
#include <cstring>

#include "vorc/jpeg/jpeg_format.h"
#include "vorc/dsp/reference_kernels.h"

namespace vorc::dsp::reference {

namespace {
constexpr unsigned char StuffedZero = 0x00;
}  // namespace

const unsigned char* findScanMarker(const unsigned char* from, const unsigned char* end) {
    while (from < end) {
        const void* const found = std::memchr(from, vorc::jpeg::MarkerPrefix, static_cast<size_t>(end - from));
        if (found == nullptr) return end;
        const auto* const ff = static_cast<const unsigned char*>(found);
        if (ff + 1 == end || ff[1] != StuffedZero) return ff;
        from = ff + 2;
    }
    return end;
}

}  // namespace vorc::dsp::reference
