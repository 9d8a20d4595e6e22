// The transform's kernels built for AVX512 (8 values per vector); CMake gives
// this file the flags, simd/simd.h decides whether it runs.
#if defined(KORVO_X86_KERNELS)
#include "spectral/fft_simd.h"

static_assert(korvo::lanes::W == 8);

namespace korvo::detail {

unsigned twiddle_lanes_avx512(Integer N, Integer IND, Integer first, Complex* TW) {
  return twiddle_lanes(N, IND, first, TW);
}

void butterflies_avx512(Integer N, Integer MMAX, const Complex* TW, Complex* X) {
  butterflies(N, MMAX, TW, X);
}

}  // namespace korvo::detail
#endif
