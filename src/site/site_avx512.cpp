// The site kernels built for AVX512 (8 lines per vector); CMake gives this file
// the flags, simd/simd.h decides whether it runs.
#if defined(KORVO_X86_KERNELS)
#include "site/amplify_simd.h"
#include "site/transfer_simd.h"

static_assert(korvo::lanes::W == 8);

namespace korvo::detail {

unsigned transfer_lines_avx512(const TransferJob& job, Integer first, Integer count, Complex* AMP) {
  return transfer_lines(job, first, count, AMP);
}

unsigned amplify_lines_avx512(const PhaseJob& job, Integer first, Integer count, const Complex* S,
                              const Complex* X, Complex* Y) {
  return amplify_lines(job, first, count, S, X, Y);
}

unsigned cexp_pair_lanes_avx512(const Complex* z, Complex* E1, Complex* E2) {
  CV zv, e1, e2;
  for (int k = 0; k < W; ++k) zv.re[k] = z[k].re, zv.im[k] = z[k].im;
  Suspect suspect;
  cexp_pair_v(zv, e1, e2, suspect);
  for (int k = 0; k < W; ++k) {
    E1[k] = {static_cast<Real>(e1.re[k]), static_cast<Real>(e1.im[k])};
    E2[k] = {static_cast<Real>(e2.re[k]), static_cast<Real>(e2.im[k])};
  }
  return lanes::bits(suspect.lanes);
}

}  // namespace korvo::detail
#endif
