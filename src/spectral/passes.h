// The transform's twiddle factors and butterflies W at a time, written once
// for every width: the file that includes this header chooses W
// (KORVO_LANES). W = 1 is the scalar code and the reference, with the
// library's cos and sin; wider lanes take libmvec's and test them with
// near_tie before they are rounded. An angle of exactly 0 has cos 1 and
// sin +-0, as the library's.
//
// Included by fft.cpp (W = 1) and the instruction-set files
// spectral_avx2.cpp and spectral_avx512.cpp, which end with THESE_KERNELS.
#pragma once

#include "simd/lanes.h"
#include "spectral/kernels.h"

namespace korvo::detail {
namespace {

using lanes::CV;
using lanes::D;
using lanes::M;
using lanes::round;
using lanes::splat;
using lanes::W;

// THETA = j IND pi / (N/2) in double, rounded to a Real, then (cos, sin).
unsigned twiddle_lanes(Integer N, Integer IND, Integer first, Complex* TW) {
  const Integer H = N / 2;
  D j;
  for (int k = 0; k < W; ++k) lanes::set(j, k, static_cast<double>((first + k) * IND));
  const D THETA = round(j * static_cast<double>(PI) / static_cast<double>(H));
  const M turning = THETA != 0.0;
  const D c = turning ? lanes::vcos(THETA) : splat(1.0);
  const D s = turning ? lanes::vsin(THETA) : THETA;
  lanes::store(TW + first, {round(c), round(s)});
  if constexpr (W == 1) return 0;  // the library's own
  return lanes::bits(turning & (lanes::near_tie(c) | lanes::near_tie(s)));
}

// Pairs (I, I + MMAX) of each block of 2 MMAX, W consecutive groups at a time.
void butterflies(Integer N, Integer MMAX, const Complex* TW, Complex* X) {
  const Integer ISTEP = 2 * MMAX, stride = N / ISTEP;
  std::int32_t idx[W];
  for (Integer m = 0; m < MMAX; m += W) {
    for (int k = 0; k < W; ++k) idx[k] = static_cast<std::int32_t>((m + k) * stride);
    const CV w = lanes::gather(TW, idx);
    for (Integer b = m; b < N; b += ISTEP) {
      const CV xi = lanes::load(X + b), xj = lanes::load(X + b + MMAX);
      const CV Q = lanes::cmul_v(w, xj);
      lanes::store(X + b + MMAX, lanes::csub_v(xi, Q));
      lanes::store(X + b, lanes::cadd_v(xi, Q));
    }
  }
}

constexpr SpectralKernels THESE_KERNELS = {W, twiddle_lanes, butterflies};

}  // namespace
}  // namespace korvo::detail
