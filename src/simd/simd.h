// The instruction sets of the vector kernels, and the one a run uses.
//
// Each kernel is one source over a lane type (simd/lanes.h), built for one
// line at a time (the scalar code, the reference), for AVX2 (4 lines per
// vector) and for AVX-512 (8 lines); every width gives the same bits. The
// choice is made once per process, here.
#pragma once

#include <cstddef>

namespace korvo {

enum class Simd { scalar, avx2, avx512 };

// The widest set this build has kernels for and this processor runs, unless
// the environment variable KORVO_SIMD names one: scalar, avx2 or avx512. A
// name that is none of those, or a set this processor cannot run, is an Error.
Simd simd_level();

namespace detail {
// This build has kernels for s and this processor runs them (scalar always).
bool simd_runs(Simd s);
// The set a value of KORVO_SIMD asks for (null or empty: the widest that runs).
Simd simd_from(const char* name);
const char* simd_name(Simd s);
// powers() four to a vector.
void pow_avx2(const double* x, const double* y, double* out, std::size_t n);
}  // namespace detail

// x[i]^y[i] into out[i], i < n, for x >= 0 and y > 0, by backbone_power
// (simd/power.h): four to a vector where simd_level() is AVX2 or wider, one
// by one otherwise, with the same bits.
void powers(const double* x, const double* y, double* out, std::size_t n);

}  // namespace korvo
