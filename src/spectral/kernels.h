// The transform's kernels and their entry points for each instruction set
// (simd/simd.h chooses one). One source, spectral/passes.h, built for one
// value at a time (the scalar code, the reference) and for each vector width.
#pragma once

#include "korvo.h"
#include "simd/simd.h"

namespace korvo::detail {

struct SpectralKernels {
  Integer lanes;  // values per call: 1, 4 (AVX2) or 8 (AVX-512)

  // detail::twiddles for j = first .. first + lanes - 1 (all below N/2). Bit k
  // of the result: entry first + k is left to the scalar code (a vector
  // stand-in's value near a rounding tie), unwritten. The scalar kernel sets none.
  unsigned (*twiddle_lanes)(Integer N, Integer IND, Integer first, Complex* W);

  // One stage of fft's butterflies, MMAX groups (MMAX a multiple of the lanes):
  // every pair (I, I + MMAX) with the factor TW[(M - 1) N / (2 MMAX)], in place.
  void (*butterflies)(Integer N, Integer MMAX, const Complex* TW, Complex* X);
};

extern const SpectralKernels spectral_scalar, spectral_avx2, spectral_avx512;

}  // namespace korvo::detail
