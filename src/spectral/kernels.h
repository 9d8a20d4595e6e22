// The vector kernels of the transform and their entry points for each
// instruction set (simd/simd.h chooses one); each forms exactly what the
// scalar code beside it forms.
#pragma once

#include "korvo.h"

namespace korvo::detail {

// detail::twiddles for j = first .. first + lanes - 1 (4 for AVX2, 8 for
// AVX-512; all below N/2). Bit k of the result: entry first + k is left to
// the scalar code (a library value near a rounding tie), unwritten.
unsigned twiddle_lanes_avx2(Integer N, Integer IND, Integer first, Complex* W);
unsigned twiddle_lanes_avx512(Integer N, Integer IND, Integer first, Complex* W);

// One stage of fft's butterflies, MMAX groups (MMAX a multiple of the lanes):
// every pair (I, I + MMAX) with the factor TW[(M - 1) N / (2 MMAX)], in place.
void butterflies_avx2(Integer N, Integer MMAX, const Complex* TW, Complex* X);
void butterflies_avx512(Integer N, Integer MMAX, const Complex* TW, Complex* X);

}  // namespace korvo::detail
