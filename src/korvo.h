// Shared vocabulary of korvo: the number types, capacities, constants, the
// complex arithmetic every stage uses, the run's grid and its one error type.
//
// Every named quantity is a Real when stored. A step may be computed in double
// and is rounded to Real once, when its result is stored; the helpers below do
// exactly that, so that callers never round twice nor skip a rounding.
//
// The upper-case names are those of the method, kept so the code reads line
// by line against it:
//   NT    pairs in the record            DT   sample interval T(2) - T(1), s
//   NF    transform length, a power of two, at least 4 and at least NT
//   IF1   log2 NF                        DUR  NF * DT, the transform window, s
//   DOM   line spacing 2 pi / (NF DT), rad/s; line I is at (I - 1) DOM
//   NOM   lines 0..Nyquist, NF / 2 + 1   EOM  NOM * DOM
//   ANUM  2 when the first transfer function is relative to the incident
//         wave (IFLAG = 1), else 1 (relative to the outcrop)
//   IAMP  the transfer function applied: 1 input or outcrop, 2 top of half-space
//   INTG  0 unchanged, 1 integrate, 2 differentiate
//   IBPF  1 applies the band-pass trapezoid with corners OML1 < OML2 < OMH1 < OMH2, rad/s
//   CF0   the half-space's VE^2 / VS^2 factor of the vertical rule
//   PM11..PM22  the running product of layer matrices
//   IFLAG the reference flag of the soil file; QEXP damping exponent: Q at
//         f Hz is Q f^QEXP, and exactly 999.0 switches damping off
#pragma once

#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

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
// AMP holds two transfer functions of NMAX lines each, column after column:
// line I of column c is AMP[(c - 1) * AMP_STRIDE + I - 1].
constexpr Integer AMP_STRIDE = NMAX;

// The frequency grid of a run, fixed once the record is read.
struct Grid {
  Integer NT = 0;
  Real DT = 0.0f;
  Integer NF = 0, IF1 = 0;
  Real DUR = 0.0f, DOM = 0.0f;
  Integer NOM = 0;
  Real EOM = 0.0f;
};

// Every refusal and fault of a run: one line of report, without the program's
// name. Library code throws it and never ends its host; the console program's
// main prints it and exits with status 1.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr Real PI = 3.1415927f;     // transform angles
constexpr Real TWOPI = 6.2831855f;  // frequency grid, hertz, damping
// Ten digits, not the double nearest 2 pi: the printed highest frequency has
// always been formed with it, and stored results carry its last digits.
constexpr double TWOPI_D = 6.283185307;
constexpr Real DEGRAD = 0.017453292f;  // degrees to radians

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

namespace detail {
// The principal root from a modulus formula within a few units of hypot's:
// where those units could move a rounded part (near_tie), hypot decides.
template <class Modulus>
Complex csqrt_with(Complex z, Modulus modulus) {
  const double x = z.re, y = z.im;
  if (y == 0.0) {
    if (x < 0.0) return {0.0f, real(std::sqrt(-x))};
    return {real(std::sqrt(x)), 0.0f};
  }
  double t = std::sqrt((std::fabs(x) + modulus(x, y)) / 2.0);
  double q = std::fabs(y) / (2.0 * t);
  if (near_tie(t) || near_tie(q)) {
    t = std::sqrt((std::fabs(x) + std::hypot(x, y)) / 2.0);
    q = std::fabs(y) / (2.0 * t);
  }
  if (x >= 0.0) return {real(t), real(std::copysign(q, y))};
  return {real(q), real(std::copysign(t, y))};
}
// The squares of widened Reals are exact and cannot overflow, so this
// modulus is within an ulp of hypot's, at a fraction of its cost.
inline double exact_squares_modulus(double x, double y) { return std::sqrt(x * x + y * y); }
}  // namespace detail

// Principal square root (real part not negative). A negative real gives
// +i times the root of its magnitude whatever the sign of its zero imaginary
// part: sqrt(-4 - 0i) = 2i, not -2i. Formed in double from
// t = sqrt((|x| + |z|) / 2) and q = |y| / 2t, rounded once per part.
inline Complex csqrt(Complex z) { return detail::csqrt_with(z, detail::exact_squares_modulus); }

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

// "floating-point fault (<fault>) <where>", as an Error.
[[noreturn]] inline void fp_error(const char* fault, const std::string& where) {
  throw Error(std::string("floating-point fault (") + fault + ") " + where);
}

// The floating-point flags are the fault channel: a stage runs from cleared
// flags, and a fault pending when it returns ends the run with
// "floating-point fault (<fault>) <where()>". A stage that works line by line
// tests fp_fault() itself and returns at the first faulting line, so that
// where() can name it; where() is formed only for a report.
template <class Stage, class Where>
void fp_stage(Stage&& stage, Where&& where) {
  fp_clear();
  stage();
  if (const char* f = fp_fault()) fp_error(f, where());
}

// "at frequency line I (f Hz)", the place of a fault in a pass over the lines;
// f = (I - 1) DOM / 2 pi as the result files show it.
// Frequency of line I in Hz, from the product (I - 1) DOM before it is rounded.
inline Real hertz(Integer I, Real DOM) {
  return real(wide(static_cast<Real>(I - 1)) * DOM / TWOPI);
}

inline std::string at_line(Integer I, Real DOM) {
  const Real FR = hertz(I, DOM);
  char where[96];
  std::snprintf(where, sizeof where, "at frequency line %d (%.6g Hz)", static_cast<int>(I),
                wide(FR));
  return where;
}

}  // namespace korvo
