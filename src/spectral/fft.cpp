#include <bit>
#include <memory>
#include <utility>

#include "machine/machine.h"
#include "simd/simd.h"
#include "spectral/kernels.h"
#include "spectral/spectral.h"

#define KORVO_LANES 1
#include "spectral/passes.h"

namespace korvo {

namespace detail {

const SpectralKernels spectral_scalar = THESE_KERNELS;

namespace {
const SpectralKernels& kernels(Simd s) {
#if defined(KORVO_X86_KERNELS)
  if (s == Simd::avx512) return spectral_avx512;
  if (s == Simd::avx2) return spectral_avx2;
#endif
  (void)s;
  return spectral_scalar;
}
}  // namespace

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
  const SpectralKernels& k = kernels(simd);
  const Integer H = N / 2;
  Integer j = 0;
  for (; j + k.lanes <= H; j += k.lanes)
    for (unsigned left = k.twiddle_lanes(N, IND, j, W); left != 0; left &= left - 1)
      spectral_scalar.twiddle_lanes(N, IND, j + std::countr_zero(left), W);
  for (; j < H; ++j) spectral_scalar.twiddle_lanes(N, IND, j, W);
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
  // Stages of at least a vector of groups, a vector at a time.
  const SpectralKernels& k = kernels(simd);
  for (Integer MMAX = 1; MMAX < N; MMAX *= 2)
    (MMAX >= k.lanes ? k : spectral_scalar).butterflies(N, MMAX, table->W, X);
}

}  // namespace korvo
