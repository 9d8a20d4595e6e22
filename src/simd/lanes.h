// Vectors of W lanes for the kernels, one frequency line per lane: W = 8 in a
// file built for AVX-512, 4 in one built for AVX2. Only those files include
// this header. Everything here has internal linkage and the kernels call
// nothing inline from elsewhere, so no function compiled for one instruction
// set can stand in for another's at link time.
//
// A Real is held widened in a double lane; `round` stores it, as `real`
// does. A float sum, product or quotient formed in double and then rounded is
// the float operation's result (double has more than 2 x 24 + 2 bits).
#pragma once

#include <immintrin.h>

#include <cstdint>

#if defined(__AVX512F__) && defined(__AVX512DQ__)
#define KORVO_LANES 8
#elif defined(__AVX2__)
#define KORVO_LANES 4
#else
#error "simd/lanes.h needs a file built for AVX2 or AVX-512"
#endif

// glibc's vector math (libmvec), the x86-64 vector function ABI: within 4
// units of the last place of the correctly rounded result; the kernels test
// near_tie wherever that could show in a stored Real.
extern "C" {
#if KORVO_LANES == 8
__m512d _ZGVeN8v_exp(__m512d);
__m512d _ZGVeN8v_cos(__m512d);
__m512d _ZGVeN8v_sin(__m512d);
__m512d _ZGVeN8vv_pow(__m512d, __m512d);
#else
__m256d _ZGVdN4v_exp(__m256d);
__m256d _ZGVdN4v_cos(__m256d);
__m256d _ZGVdN4v_sin(__m256d);
__m256d _ZGVdN4vv_pow(__m256d, __m256d);
#endif
}

namespace korvo::lanes {
namespace {

constexpr int W = KORVO_LANES;

typedef double D __attribute__((vector_size(8 * W)));
typedef float F __attribute__((vector_size(4 * W)));
typedef std::int64_t M __attribute__((vector_size(8 * W)));  // lane masks: -1 or 0
typedef std::uint64_t U __attribute__((vector_size(8 * W)));

#if KORVO_LANES == 8
typedef __m512d Native;
// The masked forms here: GCC 12's plain ones read an undefined register.
inline D vsqrt(D x) { return (D)_mm512_mask_sqrt_pd((Native)x, 0xff, (Native)x); }
inline D vexp(D x) { return (D)_ZGVeN8v_exp((Native)x); }
inline D vcos(D x) { return (D)_ZGVeN8v_cos((Native)x); }
inline D vsin(D x) { return (D)_ZGVeN8v_sin((Native)x); }
inline D vpow(D x, D y) { return (D)_ZGVeN8vv_pow((Native)x, (Native)y); }
#else
typedef __m256d Native;
inline D vsqrt(D x) { return (D)_mm256_sqrt_pd((Native)x); }
inline D vexp(D x) { return (D)_ZGVdN4v_exp((Native)x); }
inline D vcos(D x) { return (D)_ZGVdN4v_cos((Native)x); }
inline D vsin(D x) { return (D)_ZGVdN4v_sin((Native)x); }
inline D vpow(D x, D y) { return (D)_ZGVdN4vv_pow((Native)x, (Native)y); }
#endif

inline D splat(double x) { return D{} + x; }

// Stored as a Real and widened again.
#if KORVO_LANES == 8
// Masked forms, as for vsqrt.
inline D round(D x) {
  const __m256 f = _mm512_mask_cvtpd_ps(_mm256_setzero_ps(), 0xff, (Native)x);
  return (D)_mm512_mask_cvtps_pd(_mm512_setzero_pd(), 0xff, f);
}
#else
inline D round(D x) { return (D)_mm256_cvtps_pd(_mm256_cvtpd_ps((Native)x)); }
#endif

constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;
inline D vabs(D x) { return (D)((U)x & ~SIGN); }
inline D vcopysign(D x, D s) { return (D)(((U)x & ~SIGN) | ((U)s & SIGN)); }

// detail::near_tie lane by lane.
inline M near_tie(D x) {
  const U u = (U)x;
  const U e = (u >> 52) & 0x7ff;
  const U below = u & ((std::uint64_t{1} << 29) - 1);
  constexpr std::uint64_t MID = std::uint64_t{1} << 28, SLACK = std::uint64_t{1} << 12;
  return (M)((e < 1023 - 126) | (e > 1023 + 127) | (below - (MID - SLACK) <= 2 * SLACK));
}

// One bit per lane, lane k at bit k.
inline unsigned bits(M m) {
  unsigned b = 0;
  for (int k = 0; k < W; ++k) b |= m[k] != 0 ? 1u << k : 0u;
  return b;
}

struct CV {
  D re, im;
};

}  // namespace
}  // namespace korvo::lanes
