#include <bit>
#include <memory>
#include <utility>

#include "simd/machine.h"
#include "simd/simd.h"
#include "spectral/kernels.h"
#include "spectral/spectral.h"

namespace korvo {

namespace detail {

void bit_reverse(Integer N, Complex* X) {
  auto x = [X](Integer i) -> Complex& { return X[i - 1]; };
  // The inner loop leaves as soon as K drops below 2 (not 1); the order is
  // still exactly bit-reversed.
  Integer J = 1;
  for (Integer I = 1; I <= N; ++I) {
    if (I < J) std::swap(x(I), x(J));
    Integer K = N / 2;
    while (J > K) {
      J -= K;
      K /= 2;
      if (K < 2) break;
    }
    J += K;
  }
}

void twiddles(Integer N, Integer IND, Complex* W) { twiddles(N, IND, W, simd_level()); }

void twiddles(Integer N, Integer IND, Complex* W, Simd simd) {
  const Integer H = N / 2;
  auto entry = [&](Integer j) {
    const Real THETA = real(static_cast<double>(j * IND) * wide(PI) / H);
    W[j] = {rcos(THETA), rsin(THETA)};
  };
  Integer j = 0;
#if defined(KORVO_X86_KERNELS)
  if (simd != Simd::scalar) {
    const Integer lanes = simd == Simd::avx512 ? 8 : 4;
    auto kernel = simd == Simd::avx512 ? twiddle_lanes_avx512 : twiddle_lanes_avx2;
    for (; j + lanes <= H; j += lanes)
      for (unsigned left = kernel(N, IND, j, W); left != 0; left &= left - 1)
        entry(j + std::countr_zero(left));
  }
#endif
  for (; j < H; ++j) entry(j);
}

}  // namespace detail

namespace {

// The last transform's twiddle factors, per thread (the factors of a length
// and direction are formed once however often it is transformed). Held by
// pointer, allocated on a thread's first transform: a thread-local array
// would be cleared for every thread started, transform or not.
struct Table {
  Integer N = 0, IND = 0;
  Complex W[NMAX / 2];
};
thread_local std::unique_ptr<Table> table;

}  // namespace

void fft(Integer N, Complex* X, Integer IND) { detail::fft(N, X, IND, simd_level()); }

void detail::fft(Integer N, Complex* X, Integer IND, Simd simd) {
  auto x = [X](Integer i) -> Complex& { return X[i - 1]; };
  detail::bit_reverse(N, X);
  if (N < 2) return;

  // Butterflies. Each group's twiddle factor is the table's entry at the same
  // angle, evaluated from that angle alone, never carried by a recurrence, so
  // no error accumulates.
  if (!table) table = std::make_unique_for_overwrite<Table>();
  if (table->N != N || table->IND != IND) {
    prefault(table->W, static_cast<std::size_t>(N / 2) * sizeof(Complex));
    detail::twiddles(N, IND, table->W, simd);
    table->N = N;
    table->IND = IND;
  }
  for (Integer MMAX = 1; MMAX < N; MMAX *= 2) {
#if defined(KORVO_X86_KERNELS)
    // Stages of at least a vector of groups, a vector at a time.
    if (simd == Simd::avx512 && MMAX >= 8) {
      butterflies_avx512(N, MMAX, table->W, X);
      continue;
    }
    if (simd == Simd::avx2 && MMAX >= 4) {
      butterflies_avx2(N, MMAX, table->W, X);
      continue;
    }
#endif
    const Integer ISTEP = 2 * MMAX, stride = N / ISTEP;
    for (Integer M = 1; M <= MMAX; ++M) {
      const Complex W = table->W[(M - 1) * stride];
      for (Integer I = M; I <= N; I += ISTEP) {
        const Integer Jb = I + MMAX;
        const Complex Q = cmul(W, x(Jb));
        x(Jb) = csub(x(I), Q);
        x(I) = cadd(x(I), Q);
      }
    }
  }
}

}  // namespace korvo
