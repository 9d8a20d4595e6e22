#include <utility>

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

}  // namespace detail

void fft(Integer N, Complex* X, Integer IND) {
  auto x = [X](Integer i) -> Complex& { return X[i - 1]; };
  detail::bit_reverse(N, X);

  // Butterflies. The twiddle factor is evaluated afresh for each group from
  // its own angle, never carried by a recurrence, so no error accumulates.
  for (Integer MMAX = 1; MMAX < N; MMAX *= 2) {
    const Integer ISTEP = 2 * MMAX;
    for (Integer M = 1; M <= MMAX; ++M) {
      const Real THETA = real(static_cast<double>((M - 1) * IND) * wide(PI) / MMAX);
      const Complex W = {rcos(THETA), rsin(THETA)};
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
