// The portable build of the fast tile decoder.
#include "vorc/jpeg/tile_decoder.h"

namespace vorc::jpeg {

FastBlockOutcome decodeTile(ScanBitReader& reader, const StandardLookups& lookups, int16_t (*blocks)[64],
                            int16_t* predictors, int* lastPositions) {
    return decodeTileWith(reader, lookups, blocks, predictors, lastPositions);
}

}  // namespace vorc::jpeg
