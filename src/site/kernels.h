// The kernels of the site stage: what they take, as plain data, and their
// entry points for each instruction set (simd/simd.h chooses one). One source,
// site/lines.h, built for one line at a time (the scalar code, the reference)
// and for each vector width.
#pragma once

#include "korvo.h"
#include "simd/simd.h"

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

// A run of the amplification (amplify.cpp): the travel-time phase factor
// over layers 1..NL-1.
struct PhaseJob {
  Real DOM;
  Integer NL;
  const Real* TH;
  const Real* VS;
};

struct SiteKernels {
  Integer lanes;  // lines per call: 1, 4 (AVX2) or 8 (AVX-512)

  // Lines first .. first + count - 1 of both columns of AMP, 1 <= count <=
  // lanes. The result has bit k set for line first + k when a vector stand-in
  // for a library function lay near a rounding tie (or outside the normal
  // range), where the line may differ from the scalar one: the caller forms
  // those lines again with the scalar kernel, which sets no bit. The
  // floating-point flags are left as the operations raised them.
  unsigned (*transfer_lines)(const TransferJob& job, Integer first, Integer count, Complex* AMP);

  // Lines first .. first + count - 1: X(I) times S(I) and the phase factor,
  // into Y[0 .. count-1]. Bits as above. X, S and Y are indexed from line 1;
  // Y may not be X.
  unsigned (*amplify_lines)(const PhaseJob& job, Integer first, Integer count, const Complex* S,
                            const Complex* X, Complex* Y);

  // For tests: detail::cexp_pair on `lanes` values, returning the bits of the
  // values left to the scalar code.
  unsigned (*cexp_pair_lanes)(const Complex* z, Complex* E1, Complex* E2);
};

extern const SiteKernels site_scalar, site_avx2, site_avx512;
// The kernels of a set this build has (simd/simd.h).
const SiteKernels& site_kernels(Simd s);

}  // namespace korvo::detail
