// One pass of the inverse DCT over the lanes of an x86 vector, shared by
// the SSE2 kernels (four lanes a register) and the AVX2 ones (eight): each
// lane runs one 1-D transform in 32 bits, its products of two 16-bit inputs
// made by madd. Bit-exact with the reference's row pass (Column false) or
// column pass. The includer defines VORC_X86_KERNEL_TARGET, the instruction
// set its kernels are built for, which the pass is built for too so that it
// and the operations it is given inline into them; hence the unnamed
// namespace: each of the two files has a pass of its own.
#ifndef VORC_DSP_X86_INVERSE_DCT_PASS_H
#define VORC_DSP_X86_INVERSE_DCT_PASS_H

#include "vorc/dsp/inverse_dct_constants.h"

namespace vorc::dsp {
namespace {

// The pass's inputs, paired as its first stage multiplies them: inputs
// (0, 4), (1, 7), (5, 3) and (2, 6) of each lane's eight, side by side in
// 16 bits.
template <typename Ops>
struct InverseDctPairs {
    typename Ops::V p04;
    typename Ops::V p17;
    typename Ops::V p53;
    typename Ops::V p26;
};

// Ops gives the vector type V and, for its 32-bit lanes: madd(pairs, ka, kb)
// (ka * a + kb * b for each 16-bit pair), add, sub, shiftRight (arithmetic),
// broadcast, and timesSqrt2Half, a product modulo 2^32 as the reference's
// wraps. The outputs are the pass's results before their final shift.
template <typename Ops, bool Column>
[[gnu::target(VORC_X86_KERNEL_TARGET), gnu::always_inline]] inline void inverseDctPass(
    const InverseDctPairs<Ops>& in, typename Ops::V* out) {
    using V = typename Ops::V;
    using namespace idct;
    constexpr int16_t scale = 1 << (Column ? ColumnScaleShift : RowScaleShift);
    const V rounding = Ops::broadcast(Column ? ColumnRounding : RowRounding);
    V x8 = Ops::add(Ops::madd(in.p04, scale, scale), rounding);
    V x0 = Ops::add(Ops::madd(in.p04, scale, -scale), rounding);
    V x4 = Ops::madd(in.p17, W1, W7);
    V x5 = Ops::madd(in.p17, W7, -W1);
    V x6 = Ops::madd(in.p53, W5, W3);
    V x7 = Ops::madd(in.p53, W3, -W5);
    V x2 = Ops::madd(in.p26, W6, -W2);
    V x3 = Ops::madd(in.p26, W2, W6);
    if (Column) {
        const V half = Ops::broadcast(1 << (ColumnProductShift - 1));
        x4 = Ops::shiftRight(Ops::add(x4, half), ColumnProductShift);
        x5 = Ops::shiftRight(Ops::add(x5, half), ColumnProductShift);
        x6 = Ops::shiftRight(Ops::add(x6, half), ColumnProductShift);
        x7 = Ops::shiftRight(Ops::add(x7, half), ColumnProductShift);
        x2 = Ops::shiftRight(Ops::add(x2, half), ColumnProductShift);
        x3 = Ops::shiftRight(Ops::add(x3, half), ColumnProductShift);
    }
    const V x1 = Ops::add(x4, x6);
    x4 = Ops::sub(x4, x6);
    x6 = Ops::add(x5, x7);
    x5 = Ops::sub(x5, x7);
    x7 = Ops::add(x8, x3);
    x8 = Ops::sub(x8, x3);
    x3 = Ops::add(x0, x2);
    x0 = Ops::sub(x0, x2);
    const V half = Ops::broadcast(1 << (Sqrt2HalfShift - 1));
    x2 = Ops::shiftRight(Ops::add(Ops::timesSqrt2Half(Ops::add(x4, x5)), half), Sqrt2HalfShift);
    x4 = Ops::shiftRight(Ops::add(Ops::timesSqrt2Half(Ops::sub(x4, x5)), half), Sqrt2HalfShift);
    out[0] = Ops::add(x7, x1);
    out[1] = Ops::add(x3, x2);
    out[2] = Ops::add(x0, x4);
    out[3] = Ops::add(x8, x6);
    out[4] = Ops::sub(x8, x6);
    out[5] = Ops::sub(x0, x4);
    out[6] = Ops::sub(x3, x2);
    out[7] = Ops::sub(x7, x1);
}

}  // namespace
}  // namespace vorc::dsp

#endif
