// Shared vocabulary of korvo: the number types, capacities, constants and the
// complex arithmetic that every stage uses.
//
// Every named quantity is a Real when stored. A step may be computed in double
// and is rounded to Real once, when its result is stored; the helpers below do
// exactly that, so that callers never round twice nor skip a rounding.
#pragma once

#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>

namespace korvo {

using Real = float;
using Integer = std::int32_t;

struct Complex {
  Real re, im;
};

// Capacity of every record-length array (T, A, B, X and the rows of AMP): the
// longest record the run accepts is 2^15 pairs, so its transform fits.
constexpr Integer NMAX = 32768;
// Capacity of each soil-profile column.
constexpr Integer LMAX = 50;

constexpr Real PI = 3.1415927f;          // transform angles
constexpr Real TWOPI = 6.2831855f;       // frequency grid, hertz, damping
constexpr double TWOPI_D = 6.283185307;  // printed highest frequency only
constexpr Real DEGRAD = 0.017453292f;    // degrees to radians

// Round a wide intermediate to a stored Real.
inline Real real(double x) { return static_cast<Real>(x); }
inline double wide(Real x) { return static_cast<double>(x); }

namespace detail {
// True when a double lies within 2^12 of its units in the last place of a
// midpoint between two neighbouring Reals, or outside the normal range of
// Real (zero, subnormal, overflowing, Inf, NaN). Anywhere else, every value
// within that distance rounds to the same Real, so a faster formula whose
// error is a few units cannot change the stored result.
inline bool near_tie(double x) {
  const std::uint64_t u = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t e = (u >> 52) & 0x7ff;
  const std::uint64_t below = u & ((std::uint64_t{1} << 29) - 1);
  constexpr std::uint64_t MID = std::uint64_t{1} << 28, SLACK = std::uint64_t{1} << 12;
  return e < 1023 - 126 || e > 1023 + 127 || below - (MID - SLACK) <= 2 * SLACK;
}
}  // namespace detail

// Transcendentals: computed in double, rounded once.
inline Real rcos(Real x) { return real(std::cos(wide(x))); }
inline Real rsin(Real x) { return real(std::sin(wide(x))); }
inline Real rexp(Real x) { return real(std::exp(wide(x))); }
inline Real rsqrt(Real x) { return real(std::sqrt(wide(x))); }
inline Real rpow(Real x, Real y) { return real(std::pow(wide(x), wide(y))); }

// (a + ib)(c + id) = (ac - bd, bc + ad), each part one rounded step.
inline Complex cmul(Complex a, Complex b) {
  return {real(wide(a.re) * b.re - wide(a.im) * b.im), real(wide(a.im) * b.re + wide(a.re) * b.im)};
}

inline Complex cadd(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
inline Complex csub(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }

// Division scaled on the larger part of the divisor, so that neither g*g nor
// h*h is ever formed: (a + ib) / (g + ih). One step: r and s stay wide.
inline Complex cdiv(Complex x, Complex y) {
  const double a = x.re, b = x.im, g = y.re, h = y.im;
  if (std::fabs(g) <= std::fabs(h)) {
    const double r = g / h, s = g * r + h;
    return {real((a * r + b) / s), real((b * r - a) / s)};
  }
  const double r = h / g, s = h * r + g;
  return {real((b * r + a) / s), real((b - a * r) / s)};
}

// A real divided by a complex number, scaled the same way.
inline Complex rdiv(Real a, Complex y) {
  const double g = y.re, h = y.im;
  if (std::fabs(g) <= std::fabs(h)) {
    const double r = g / h, s = g * r + h;
    return {real(wide(a) * r / s), real(-wide(a) / s)};
  }
  const double r = h / g, s = h * r + g;
  return {real(wide(a) / s), real(-wide(a) * r / s)};
}

// Principal square root (real part not negative). A negative real gives
// +i times the root of its magnitude whatever the sign of its zero imaginary
// part: sqrt(-4 - 0i) = 2i, not -2i.
// Formed in double from |z| and rounded once per part.
inline Complex csqrt(Complex z) {
  const double x = z.re, y = z.im;
  if (y == 0.0) {
    if (x < 0.0) return {0.0f, real(std::sqrt(-x))};
    return {real(std::sqrt(x)), 0.0f};
  }
  // The squares of widened Reals are exact and cannot overflow, so this
  // modulus is within an ulp of hypot's; where that could move a rounded part,
  // hypot decides.
  double t = std::sqrt((std::fabs(x) + std::sqrt(x * x + y * y)) / 2.0);
  double q = std::fabs(y) / (2.0 * t);
  if (detail::near_tie(t) || detail::near_tie(q)) {
    t = std::sqrt((std::fabs(x) + std::hypot(x, y)) / 2.0);
    q = std::fabs(y) / (2.0 * t);
  }
  if (x >= 0.0) return {real(t), real(std::copysign(q, y))};
  return {real(q), real(std::copysign(t, y))};
}

// exp(x + iy) = e^x (cos y + i sin y), with e^x rounded before the products.
inline Complex cexp(Complex z) {
  const Real ex = rexp(z.re);
  return {real(wide(ex) * std::cos(wide(z.im))), real(wide(ex) * std::sin(wide(z.im)))};
}

// |re + i im| without overflow: the larger part times sqrt(1 + (smaller/larger)^2).
inline Real cabs(Complex z) {
  const Real x = std::fabs(z.re), y = std::fabs(z.im);
  if (x == 0.0f) return y;
  if (y == 0.0f) return x;
  const Real m = x > y ? x : y, n = x > y ? y : x;
  const Real q = n / m;
  return real(wide(m) * std::sqrt(1.0 + wide(q) * q));
}

// The first pending floating-point fault since the flags were last cleared, as
// words for a report, or nullptr. Underflow and inexact are not faults.
inline const char* fp_fault() {
  const int f = std::fetestexcept(FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW);
  if (f & FE_DIVBYZERO) return "division by zero";
  // An overflow's infinity turns into an invalid operation a step later
  // (0 * Inf, Inf - Inf): the overflow is the cause worth naming.
  if (f & FE_OVERFLOW) return "overflow";
  if (f & FE_INVALID) return "invalid operation";
  return nullptr;
}
inline void fp_clear() { std::feclearexcept(FE_ALL_EXCEPT); }

// Ends the run: "korvo: floating-point fault (<fault>) <context>", exit status 1.
[[noreturn]] void fp_error(const char* fault, const char* context);

}  // namespace korvo
