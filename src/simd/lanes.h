// Vectors of W lanes for the kernels, one frequency line per lane. A file
// defines KORVO_LANES before it includes this header: 8 in a file built for
// AVX-512, 4 in one built for AVX2, 1 for the scalar code, where the lanes are
// plain doubles and the library's own functions. Everything here has internal
// linkage and the vector kernels call nothing inline from elsewhere, so no
// function compiled for one instruction set can stand in for another's at
// link time.
//
// A Real is held widened in a double lane; `round` stores it, as `real`
// does. A float sum, product or quotient formed in double and then rounded is
// the float operation's result (double has more than 2 x 24 + 2 bits).
#pragma once

#include <cmath>
#include <cstdint>

#include "korvo.h"

#if KORVO_LANES == 8
#if !defined(__AVX512F__) || !defined(__AVX512DQ__)
#error "8 lanes need a file built for AVX-512"
#endif
#include <immintrin.h>
#elif KORVO_LANES == 4
#if !defined(__AVX2__)
#error "4 lanes need a file built for AVX2"
#endif
#include <immintrin.h>
#elif KORVO_LANES != 1
#error "define KORVO_LANES as 1, 4 or 8 before including simd/lanes.h"
#endif

// glibc's vector math (libmvec), the x86-64 vector function ABI: within 4
// units of the last place of the correctly rounded result; the kernels test
// near_tie wherever that could show in a stored Real.
#if KORVO_LANES > 1
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
#endif

namespace korvo::lanes {
namespace {

constexpr int W = KORVO_LANES;

#if KORVO_LANES == 1
// One lane: plain numbers and the library's functions, so the scalar code
// reads and compiles as plain arithmetic.
typedef double D;
typedef bool M;

inline D vsqrt(D x) { return std::sqrt(x); }
inline D vexp(D x) { return std::exp(x); }
inline D vcos(D x) { return std::cos(x); }
inline D vsin(D x) { return std::sin(x); }
inline D vpow(D x, D y) { return std::pow(x, y); }
inline D vhypot(D x, D y) { return std::hypot(x, y); }
inline D splat(double x) { return x; }
// The empty asm keeps the float: GCC 12 at -O2, pairing the two parts of a
// complex number into one vector (SLP), drops a double -> float -> double
// round trip altogether.
inline D round(D x) {
  float f = static_cast<float>(x);
#if defined(__x86_64__) || defined(__i386__)
  asm("" : "+x"(f));  // in its SSE register
#elif defined(__aarch64__)
  asm("" : "+w"(f));
#else
  asm("" : "+m"(f));
#endif
  return static_cast<double>(f);
}
inline D vabs(D x) { return std::fabs(x); }
inline D vcopysign(D x, D s) { return std::copysign(x, s); }
inline M near_tie(D x) { return korvo::detail::near_tie(x); }
inline bool all(M m) { return m; }
inline unsigned bits(M m) { return m ? 1u : 0u; }
inline double get(D x, int) { return x; }
inline void set(D& x, int, double v) { x = v; }
#else
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
// Never run (see Suspect::settle in site/lines.h): hypot lane by lane.
inline D vhypot(D x, D y) {
  D h;
  for (int k = 0; k < W; ++k) h[k] = std::hypot(x[k], y[k]);
  return h;
}

// Every lane x, -0 included (D{} + x would turn -0 into +0).
inline D splat(double x) {
  D v;
  for (int k = 0; k < W; ++k) v[k] = x;
  return v;
}

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

// One bit per lane, lane k at bit k, set where the lane is not 0: the sign
// bits of a comparison's lanes, in one instruction.
inline unsigned bits(M m) {
  const M set = m != 0;
#if KORVO_LANES == 8
  return static_cast<unsigned>(_mm512_movepi64_mask((__m512i)set));
#else
  return static_cast<unsigned>(_mm256_movemask_pd((__m256d)set));
#endif
}

// Every lane set.
inline bool all(M m) { return bits(m) == (1u << W) - 1; }

inline double get(D x, int k) { return x[k]; }
inline void set(D& x, int k, double v) { x[k] = v; }
#endif

struct CV {
  D re, im;
};

// Lane k, holding Reals (already rounded).
inline korvo::Complex lane(CV z, int k) {
  return {static_cast<korvo::Real>(get(z.re, k)), static_cast<korvo::Real>(get(z.im, k))};
}

// korvo.h's cmul, cadd and csub lane by lane.
inline CV cmul_v(CV a, CV b) {
  return {round(a.re * b.re - a.im * b.im), round(a.im * b.re + a.re * b.im)};
}
#if KORVO_LANES == 1
// One lane: float sums themselves, the same bits without the trips through
// double (the transform's first stages are nearly all sums).
inline float real(D x) { return static_cast<float>(x); }
inline D wide(float x) { return static_cast<double>(x); }
inline CV cadd_v(CV a, CV b) {
  return {wide(real(a.re) + real(b.re)), wide(real(a.im) + real(b.im))};
}
inline CV csub_v(CV a, CV b) {
  return {wide(real(a.re) - real(b.re)), wide(real(a.im) - real(b.im))};
}
#else
inline CV cadd_v(CV a, CV b) { return {round(a.re + b.re), round(a.im + b.im)}; }
inline CV csub_v(CV a, CV b) { return {round(a.re - b.re), round(a.im - b.im)}; }
#endif

// W consecutive Complex values, and W of them from a table at idx[k], as lanes.
// The pair of Reals of a Complex is one 64-bit element: the low half is re.
#if KORVO_LANES == 8
inline CV split(__m512i q) {
  const __m256 re = _mm256_castsi256_ps(_mm512_maskz_cvtepi64_epi32(0xff, q));
  const __m256 im = _mm256_castsi256_ps(_mm512_maskz_cvtepi64_epi32(0xff, (__m512i)((U)q >> 32)));
  return {(D)_mm512_maskz_cvtps_pd(0xff, re), (D)_mm512_maskz_cvtps_pd(0xff, im)};
}
inline CV load(const korvo::Complex* p) { return split(_mm512_loadu_si512(p)); }
inline CV gather(const korvo::Complex* table, const std::int32_t* idx) {
  const __m256i i = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(idx));
  return split(_mm512_mask_i32gather_epi64(_mm512_setzero_si512(), 0xff, i, table, 8));
}
// Stores lanes that hold Reals (already rounded).
inline void store(korvo::Complex* p, CV z) {
  const __m256i re = _mm256_castps_si256(_mm512_maskz_cvtpd_ps(0xff, (Native)z.re));
  const __m256i im = _mm256_castps_si256(_mm512_maskz_cvtpd_ps(0xff, (Native)z.im));
  const U pair = (U)_mm512_maskz_cvtepu32_epi64(0xff, re) | (U)_mm512_maskz_cvtepu32_epi64(0xff, im)
                                                                << 32;
  _mm512_storeu_si512(p, (__m512i)pair);
}
#elif KORVO_LANES == 4
inline CV split(__m256i q) {
  const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const __m256 v = _mm256_permutevar8x32_ps(_mm256_castsi256_ps(q), even);
  return {(D)_mm256_cvtps_pd(_mm256_castps256_ps128(v)),
          (D)_mm256_cvtps_pd(_mm256_extractf128_ps(v, 1))};
}
inline CV load(const korvo::Complex* p) {
  return split(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}
inline CV gather(const korvo::Complex* table, const std::int32_t* idx) {
  const __m128i i = _mm_loadu_si128(reinterpret_cast<const __m128i*>(idx));
  return split(_mm256_i32gather_epi64(reinterpret_cast<const long long*>(table), i, 8));
}
inline void store(korvo::Complex* p, CV z) {
  const __m128 re = _mm256_cvtpd_ps((Native)z.re), im = _mm256_cvtpd_ps((Native)z.im);
  float* f = reinterpret_cast<float*>(p);
  _mm_storeu_ps(f, _mm_unpacklo_ps(re, im));
  _mm_storeu_ps(f + 4, _mm_unpackhi_ps(re, im));
}
#else
inline CV load(const korvo::Complex* p) {
  return {static_cast<double>(p->re), static_cast<double>(p->im)};
}
inline CV gather(const korvo::Complex* table, const std::int32_t* idx) {
  return load(table + *idx);
}
inline void store(korvo::Complex* p, CV z) { *p = lane(z, 0); }
#endif

}  // namespace
}  // namespace korvo::lanes
