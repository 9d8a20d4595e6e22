// The amplification W lines at a time (lanes = lines): amplify.cpp's formulas
// operation for operation. rcos and rsin become libmvec's cos and sin, tested
// with near_tie before they are rounded; a phase of exactly 0 (line 1, a layer
// of no thickness) has cos 1 and sin +-0 as the library's.
//
// Included only by the instruction-set files site_avx2.cpp and site_avx512.cpp,
// after transfer_simd.h, whose complex helpers it shares.
#pragma once

#include "site/transfer_simd.h"

namespace korvo::detail {
namespace {

unsigned amplify_lines(const PhaseJob& job, Integer first, Integer count, const Complex* S,
                       const Complex* X, Complex* Y) {
  D I1;
  CV s, x;
  for (int k = 0; k < W; ++k) {
    const Integer I = first + (k < count ? k : count - 1);
    I1[k] = static_cast<double>(I - 1);
    s.re[k] = S[I - 1].re, s.im[k] = S[I - 1].im;
    x.re[k] = X[I - 1].re, x.im[k] = X[I - 1].im;
  }
  const D OM = round(I1 * static_cast<double>(job.DOM));
  const CV P = cmul_v(s, x);
  M suspect = M{};
  CV PH = {splat(1.0), splat(0.0)};
  for (Integer J = 1; J <= job.NL - 1; ++J) {
    // phase(): TH * OM / VS in double, rounded.
    const D theta =
        round(static_cast<double>(job.TH[J - 1]) * OM / static_cast<double>(job.VS[J - 1]));
    const M turning = theta != 0.0;
    const D c = turning ? lanes::vcos(theta) : splat(1.0);
    const D sn = turning ? lanes::vsin(theta) : theta;
    suspect |= turning & (lanes::near_tie(c) | lanes::near_tie(sn));
    PH = cmul_v({round(c), round(sn)}, PH);
  }
  const CV Xn = cmul_v(P, PH);
  for (int k = 0; k < count; ++k) Y[k] = {static_cast<Real>(Xn.re[k]), static_cast<Real>(Xn.im[k])};
  return lanes::bits(suspect) & ((1u << count) - 1);
}

}  // namespace
}  // namespace korvo::detail
