// The x86-64 kernel tables (SSE2 and AVX2 intrinsics, each function built
// for its instruction set by a target attribute), for the kernel table's
// run-time choice. Elsewhere both are absent.
#ifndef VORC_DSP_X86_KERNELS_H
#define VORC_DSP_X86_KERNELS_H

#include "vorc/dsp/kernel_table.h"

namespace vorc::dsp {

// Null where the build has no such kernels; the caller checks the CPU.
const KernelTable* sse2Kernels();
const KernelTable* avx2Kernels();

// The searches for the end of a scan and the copies without and with
// stuffing; on x86-64 only.
namespace sse2 {
const unsigned char* findScanMarker(const unsigned char* from, const unsigned char* end);
size_t copyPlainBits(const unsigned char* begin, const unsigned char* cleanEnd, unsigned char* plain,
                     std::vector<uint32_t>& ffOffsets);
size_t copyStuffedBits(const unsigned char* plain, unsigned shift, size_t count, unsigned char* scan);
}  // namespace sse2
namespace avx2 {
const unsigned char* findScanMarker(const unsigned char* from, const unsigned char* end);
size_t copyPlainBits(const unsigned char* begin, const unsigned char* cleanEnd, unsigned char* plain,
                     std::vector<uint32_t>& ffOffsets);
size_t copyStuffedBits(const unsigned char* plain, unsigned shift, size_t count, unsigned char* scan);
}  // namespace avx2

// The AVX2 table's tile decoder; on x86-64 only.
namespace bmi2 {
jpeg::FastBlockOutcome decodeTile(jpeg::ScanBitReader& reader, const jpeg::StandardLookups& lookups,
                                  int16_t (*blocks)[BlockSize], int16_t* predictors, int* lastPositions);
}  // namespace bmi2

}  // namespace vorc::dsp

#endif
