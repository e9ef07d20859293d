// The fast tile decoder built with BMI2 (scan decoder -> kernels), for the
// AVX2 kernel table: shifts by a register that leave the flags and the
// count register alone, and an and-not, shorten its chain of dependent
// instructions.
#include "vorc/dsp/x86_kernels.h"

#if defined(__x86_64__)

#include "vorc/jpeg/tile_decoder.h"

namespace vorc::dsp::bmi2 {

[[gnu::target("bmi,bmi2")]] jpeg::FastBlockOutcome decodeTile(jpeg::ScanBitReader& reader,
                                                             const jpeg::StandardLookups& lookups,
                                                             int16_t (*blocks)[64], int16_t* predictors,
                                                             int* lastPositions) {
    return jpeg::decodeTileWith(reader, lookups, blocks, predictors, lastPositions);
}

}  // namespace vorc::dsp::bmi2

#endif
