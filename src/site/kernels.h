// The vector kernels of the site stage: what they take, as plain data, and
// their entry points for each instruction set (simd/simd.h chooses one).
// Each computes a few lines exactly as the scalar code beside it does.
#pragma once

#include "korvo.h"

namespace korvo::detail {

// A run of the transfer functions (transfer.cpp's Transfer).
struct TransferJob {
  Real DOM;
  Integer NL;
  const Real* RHO;
  const Real* TH;
  bool vertical;      // the vertical rule from VP, QP, VS, QS; else V and Q
  const Real *V, *Q;  // the scalar rule's columns
  const Real *VP, *QP, *VS, *QS;
  bool damp;  // QEXP != 999
  Real QEXP;
  Complex P2;
  Real ANUM;
  // When F = FHZ^QEXP is the same on every line (no damping, or QEXP = 0), the
  // per-layer table formed once: ALPHA and S of boundary j at j - 1. Else null.
  const Complex* ALPHA;
  const Complex* S;
};

// Lines first .. first + count - 1 of both columns of AMP, 1 <= count <= the
// set's lanes (4 for AVX2, 8 for AVX-512), as Transfer::line forms them. The
// result has bit k set for line first + k when a library function's result
// lay near a rounding tie (or outside the normal range), where the line may
// differ from the scalar one: the caller forms those lines again. The
// floating-point flags are left as the operations raised them.
unsigned transfer_lines_avx2(const TransferJob& job, Integer first, Integer count, Complex* AMP);
unsigned transfer_lines_avx512(const TransferJob& job, Integer first, Integer count, Complex* AMP);

// A run of the amplification (amplify.cpp): the travel-time phase factor
// over layers 1..NL-1.
struct PhaseJob {
  Real DOM;
  Integer NL;
  const Real* TH;
  const Real* VS;
};

// Lines first .. first + count - 1 (1 <= count <= lanes): X(I) times S(I) and
// the phase factor, into Y[0 .. count-1], as amplify forms them. Bit k of the
// result: line first + k is left to the scalar code (a library value near a
// tie). X, S and Y are indexed from line 1; Y may not be X.
unsigned amplify_lines_avx2(const PhaseJob& job, Integer first, Integer count, const Complex* S,
                            const Complex* X, Complex* Y);
unsigned amplify_lines_avx512(const PhaseJob& job, Integer first, Integer count, const Complex* S,
                              const Complex* X, Complex* Y);

// For tests: detail::cexp_pair on the set's lanes (z, E1 and E2 hold that
// many values), returning the bits of the lanes left to the scalar code.
unsigned cexp_pair_lanes_avx2(const Complex* z, Complex* E1, Complex* E2);
unsigned cexp_pair_lanes_avx512(const Complex* z, Complex* E1, Complex* E2);

}  // namespace korvo::detail
