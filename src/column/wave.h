// The column engine's complex arithmetic in double, written out (Smith's
// division, the principal root), and the complex shear-wave velocity: shared
// by the record engine (response.cpp) and the RVT engine (rvt_site.cpp), so
// that both form the same transfer functions bit for bit.
#pragma once

#include <cmath>

#include "column/column.h"

namespace korvo::column::wave {

struct C {
  double re, im;
};

inline C operator+(C a, C b) { return {a.re + b.re, a.im + b.im}; }
inline C operator-(C a, C b) { return {a.re - b.re, a.im - b.im}; }
inline C operator*(C a, C b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
inline C scale(double s, C a) { return {s * a.re, s * a.im}; }
inline double norm2(C a) { return a.re * a.re + a.im * a.im; }
// Smith's division: no overflow from squaring the divisor's parts.
inline C operator/(C x, C y) {
  if (std::fabs(y.re) >= std::fabs(y.im)) {
    const double r = y.im / y.re, s = y.re + y.im * r;
    return {(x.re + x.im * r) / s, (x.im - x.re * r) / s};
  }
  const double r = y.re / y.im, s = y.im + y.re * r;
  return {(x.re * r + x.im) / s, (x.im * r - x.re) / s};
}
inline C cexp(C z) {
  const double e = std::exp(z.re);
  return {e * std::cos(z.im), e * std::sin(z.im)};
}
inline C csqrt(C z) {
  const double m = std::hypot(z.re, z.im);
  const double t = std::sqrt((std::fabs(z.re) + m) / 2.0);
  if (t == 0.0) return {0.0, 0.0};
  const double q = std::fabs(z.im) / (2.0 * t);
  if (z.re >= 0.0) return {t, std::copysign(q, z.im)};
  return {q, std::copysign(t, z.im)};
}

// Complex shear-wave velocity sqrt(G*/rho) for secant velocity v and damping xi.
inline C complex_velocity(ComplexModulus model, double v, double xi) {
  switch (model) {
    case ComplexModulus::Velocity:
      return {v, v * xi};
    case ComplexModulus::Simple:
      return scale(v, csqrt({1.0, 2.0 * xi}));
    case ComplexModulus::UnitModulus:
      // G (1 - 2 xi^2 + 2 i xi sqrt(1 - xi^2)) = G (sqrt(1 - xi^2) + i xi)^2.
      return {v * std::sqrt(1.0 - xi * xi), v * xi};
  }
  return {v, 0.0};
}

}  // namespace korvo::column::wave
