// x^y for the nonlinear backbones, x >= 0 and y > 0 finite, in plain IEEE
// operations on D: a double, or a GCC vector of doubles with U its vector of
// uint64. The same operations in the same order, so a lane of a vector gets
// the bits a double does, whatever the width or instruction set.
//
// exp(y ln x): ln x from x = 2^e m, m in [sqrt 1/2, sqrt 2), as e ln 2 +
// 2 atanh((m - 1) / (m + 1)) (its series to z^21, |z| <= 0.172); exp(w) as
// 2^k exp(r), |r| <= ln 2 / 2, by Taylor's series to r^13. Both series are
// summed by Estrin's scheme, whose short chains the processor overlaps.
// Relative error within 2.3e-16 (|y ln x| + 4): under 6e-15 where the
// result lies between 1e-9 and 1e9. Results beyond e^709 are infinite, below e^-708 zero;
// 0 gives 0, infinity infinity and NaN NaN.
#pragma once

#include <cstdint>
#include <type_traits>

namespace korvo {

template <class D, class U>
[[gnu::always_inline]] inline D backbone_power(D x, D y) {
  constexpr auto K = [](double v) {
    if constexpr (std::is_same_v<D, double>)
      return v;
    else
      return D{} + v;
  };
  const auto bits = [](D v) {
    U u;
    __builtin_memcpy(&u, &v, sizeof u);
    return u;
  };
  const auto real = [](U u) {
    D v;
    __builtin_memcpy(&v, &u, sizeof v);
    return v;
  };
  // ln 2 in two parts, the first with 32 trailing zero bits so that its
  // products with exponents are exact.
  constexpr double ln2_hi = 0x1.62e42feep-1, ln2_lo = 0x1.a39ef35793c76p-33;
  constexpr double round_bias = 0x1.8p52;  // adding it rounds to an integer
  // Subnormal x scaled into the normal range first.
  const auto tiny = x < K(0x1p-1022);
  const U b = bits(tiny ? x * K(0x1p54) : x);
  // The exponent as a double without a conversion: 2^52 + E - (2^52 + 1023).
  D e = real((b >> 52) | 0x4330000000000000ull) - K(0x1p52 + 1023.0);
  e = tiny ? e - K(54.0) : e;
  D m = real((b & 0x000fffffffffffffull) | 0x3ff0000000000000ull);
  const auto high = m > K(0x1.6a09e667f3bcdp0);
  m = high ? m * K(0.5) : m;
  e = high ? e + K(1.0) : e;
  const D f = m - K(1.0);
  const D z = f / (K(2.0) + f);
  const D z2 = z * z, z4 = z2 * z2, z8 = z4 * z4;
  // 1/3 + z2/5 + ... + z2^9/21
  const D a0 = K(1.0 / 3.0) + K(1.0 / 5.0) * z2, a1 = K(1.0 / 7.0) + K(1.0 / 9.0) * z2;
  const D a2 = K(1.0 / 11.0) + K(1.0 / 13.0) * z2, a3 = K(1.0 / 15.0) + K(1.0 / 17.0) * z2;
  const D a4 = K(1.0 / 19.0) + K(1.0 / 21.0) * z2;
  const D q = (a0 + a1 * z4) + z8 * ((a2 + a3 * z4) + z8 * a4);
  const D twice = z + z;
  const D w = y * (e * K(ln2_hi) + (e * K(ln2_lo) + (twice + twice * (z2 * q))));

  const D t = w * K(0x1.71547652b82fep0) + K(round_bias);  // w / ln 2
  const D k = t - K(round_bias);
  const D r = (w - k * K(ln2_hi)) - k * K(ln2_lo);
  const D r2 = r * r, r4 = r2 * r2;
  const D e0 = K(1.0) + r, e1 = K(1.0 / 2.0) + K(1.0 / 6.0) * r;
  const D e2 = K(1.0 / 24.0) + K(1.0 / 120.0) * r, e3 = K(1.0 / 720.0) + K(1.0 / 5040.0) * r;
  const D e4 = K(1.0 / 40320.0) + K(1.0 / 362880.0) * r;
  const D e5 = K(1.0 / 3628800.0) + K(1.0 / 39916800.0) * r;
  const D e6 = K(1.0 / 479001600.0) + K(1.0 / 6227020800.0) * r;
  const D p = ((e0 + e1 * r2) + r4 * (e2 + e3 * r2)) + (r4 * r4) * ((e4 + e5 * r2) + r4 * e6);
  // 2^k from k's bits in the low end of t (k's range is checked below).
  D out = p * real((bits(t) - 0x4338000000000000ull + 1023ull) << 52);
  out = w > K(709.0) ? K(__builtin_inf()) : out;
  out = w < K(-708.0) ? K(0.0) : out;
  out = x == K(0.0) ? K(0.0) : out;
  return x < K(__builtin_inf()) ? out : x;
}

}  // namespace korvo
