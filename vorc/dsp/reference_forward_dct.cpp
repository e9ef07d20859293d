// The reference forward DCT of the stream encoder (pictures -> encoder ->
// Tesra stream): each 8-point pass of forward_dct_arithmetic.h on the rows,
// then on the columns, rounding every output once. Integer arithmetic only,
// so the same picture gives the same stream on every machine.
#include "vorc/dsp/forward_dct_arithmetic.h"
#include "vorc/dsp/reference_kernels.h"

namespace vorc::dsp::reference {

namespace {

// One 8-point pass over data[0], data[step], ... data[7 * step].
void transform8(int32_t* data, int step, bool rowPass) {
    int32_t d[8];
    for (int i = 0; i < 8; ++i) d[i] = data[i * step];
    int32_t sums[8];
    forward_dct::passSums(d, sums, rowPass);
    for (int k = 0; k < 8; ++k) data[k * step] = forward_dct::descale(sums[k], forward_dct::passShift(k, rowPass));
}

}  // namespace

void forwardTransformBlock(const unsigned char* samples, int32_t* coefficients) {
    for (int i = 0; i < 64; ++i) coefficients[i] = static_cast<int32_t>(samples[i]) - 128;
    for (int row = 0; row < 8; ++row) transform8(coefficients + row * 8, 1, true);
    for (int column = 0; column < 8; ++column) transform8(coefficients + column, 8, false);
}

}  // namespace vorc::dsp::reference
