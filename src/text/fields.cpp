// Output fields: decimal digits of a value and the F, E, I and free-form forms.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "text/text.h"

namespace korvo::detail {

namespace {

// Significant digits shown at most.
constexpr int REAL_DIGITS = 7;
constexpr int DOUBLE_DIGITS = 16;

int exponent_of(const char* e) {  // e points at the sign after 'e'
  int value = 0;
  for (const char* p = e + 1; *p >= '0' && *p <= '9'; ++p) value = value * 10 + (*p - '0');
  return *e == '-' ? -value : value;
}

// Rounds half up to `keep` significant digits, carrying through nines; a carry
// out of the first digit gives "1" one place higher. When nothing non-zero is
// left the value is zero: no sign. keep <= 0 leaves at most the carry.
void round_to(Decimal& x, int keep) {
  if (keep >= x.count) return;
  const bool up = keep >= 0 && x.digit[keep] >= '5';
  x.count = keep > 0 ? keep : 0;
  if (up) {
    int i = x.count - 1;
    while (i >= 0 && x.digit[i] == '9') --i;
    if (i < 0) {
      x.digit[0] = '1';
      x.count = 1;
      ++x.decpt;
    } else {
      ++x.digit[i];
      x.count = i + 1;
    }
  }
  while (x.count > 0 && x.digit[x.count - 1] == '0') --x.count;
  if (x.count == 0) {
    x.negative = false;
    x.decpt = 0;
  }
}

// Rounds 18 digits half up to 17 and drops trailing zeros.
void finish(Decimal& x, const char* digits18) {
  std::memcpy(x.digit, digits18, 18);
  x.count = 18;
  round_to(x, 17);
}

// Significant digit i (1-based); positions past the digits are "0".
char dig(const Decimal& x, int i) { return i >= 1 && i <= x.count ? x.digit[i - 1] : '0'; }

int stars(char* out, int w) {
  std::memset(out, '*', static_cast<std::size_t>(w));
  return w;
}

// Right-justifies len characters in w, or w asterisks when they do not fit.
int place(char* out, const char* chars, int len, int w) {
  if (len > w) return stars(out, w);
  std::memset(out, ' ', static_cast<std::size_t>(w - len));
  std::memcpy(out + (w - len), chars, static_cast<std::size_t>(len));
  return w;
}

// Infinities and NaN never reach a result file in a normal run; they still get
// a readable marker instead of digits.
int put_nonfinite(char* out, double v, int w) {
  const char* marker = std::isnan(v) ? "NaN" : v > 0 ? "Inf" : "-Inf";
  return place(out, marker, static_cast<int>(std::strlen(marker)), w);
}

// The digits an F field of d places shows: keep = min(decpt + d, 7) significant.
// The digits an E field of d places shows: keep = min(d, 7) significant.
// Both from the 17 exact digits, rounded half up, then half up again to keep.
Decimal shown_exact(double v, char code, int d) {
  Decimal x = decimal17(v);
  if (x.count > 0) round_to(x, std::min(code == 'F' ? x.decpt + d : d, REAL_DIGITS));
  return x;
}

// 10^q for |q| <= 44, each the double nearest it (exact from 10^0 to 10^22).
constexpr double POW10[89] = {
    1e-44, 1e-43, 1e-42, 1e-41, 1e-40, 1e-39, 1e-38, 1e-37, 1e-36, 1e-35, 1e-34, 1e-33, 1e-32,
    1e-31, 1e-30, 1e-29, 1e-28, 1e-27, 1e-26, 1e-25, 1e-24, 1e-23, 1e-22, 1e-21, 1e-20, 1e-19,
    1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9,  1e-8,  1e-7,  1e-6,
    1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,
    1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,
    1e21,  1e22,  1e23,  1e24,  1e25,  1e26,  1e27,  1e28,  1e29,  1e30,  1e31,  1e32,  1e33,
    1e34,  1e35,  1e36,  1e37,  1e38,  1e39,  1e40,  1e41,  1e42,  1e43,  1e44};

// The same rounding without the exact expansion, for a Real's value:
// |v| rounded half up is N x 10^-q, with N < 10^8. y = |v| 10^q is formed in
// double, q chosen so that y holds the kept digits before its point, and N is
// y rounded half up. y < 2^24 lies within 2^-27 of the exact product (the
// rounding of 10^q, that of the product and, when decpt is one more than first
// thought, that of y / 10), so N is that of the
// exact product unless y lies within 2^-26 of a midpoint; there, and only
// there, the two roundings of the exact path can also differ from one (the
// first, at 17 digits, reaches a midpoint from up to 0.5e-10 below). Such
// values, and scalings beyond the two-step powers, are left to the exact
// path: false.
//
// Near a power of ten, y may fall on the wrong side of 10^keep; both sides
// round to that power (the lower one carrying), so the digits are the same.
bool scaled_fast(double v, char code, int d, std::uint32_t& N, int& q) {
  const double a = std::fabs(v);
  if (a == 0.0) {
    N = 0;
    q = 0;
    return true;
  }
  // a lies in [2^(e2-1), 2^e2), so floor(log10 a) + 1 is decpt or decpt + 1
  // (log10 2 ~ 78913 / 2^18 gives the floor exactly over a Real's exponents).
  const int e2 = static_cast<int>((std::bit_cast<std::uint64_t>(a) >> 52) & 0x7ff) - 1022;
  int decpt = ((e2 - 1) * 78913 >> 18) + 1;
  const bool fixed = code == 'F';
  const int keep = std::min(fixed ? decpt + d : d, REAL_DIGITS);
  q = keep - decpt;
  if (q > 44 || q < -44) return false;
  double y = a * POW10[q + 44];
  // An F field short of seven digits rounds at its d-th place, also when decpt
  // is one more; the rest keep `keep` digits, one place further left then.
  if (!(fixed && decpt + d < REAL_DIGITS) && y >= POW10[44 + keep]) {
    y /= 10.0;
    --q;
  }
  // 0 <= y < 2^24: truncation is the floor.
  const double whole = static_cast<double>(static_cast<std::int64_t>(y)), fraction = y - whole;
  if (std::fabs(fraction - 0.5) <= 0x1p-26) return false;
  N = static_cast<std::uint32_t>(whole) + (fraction > 0.5 ? 1u : 0u);
  return true;
}

// The number of digits of N < 10^8 (0 for 0).
int digit_count(std::uint32_t N) {
  int n = 0;
  while (n < 8 && N >= POW10[44 + n]) ++n;
  return n;
}

// The F field of N x 10^-q (q <= d), written from its right end: the d places
// (zeros past the q of N's), the point, the digits before it.
int fixed_field(char* out, std::uint32_t N, int q, bool negative, int w, int d) {
  const int n = digit_count(N);
  negative = negative && N > 0;  // rounded to nothing: no sign
  const int before = n - q > 0 ? n - q : 0;
  const bool zero = before == 0 && d == 0;  // "0." rather than "." in F4.0
  if ((negative ? 1 : 0) + before + (zero ? 1 : 0) + 1 + d > w) return stars(out, w);
  char* p = out + w;
  int j = d;
  for (; j > q && j > 0; --j) *--p = '0';
  for (; j > 0; --j, N /= 10) *--p = static_cast<char>('0' + N % 10);
  *--p = '.';
  if (zero) *--p = '0';
  for (int k = q; k < 0; ++k) *--p = '0';
  for (; N > 0; N /= 10) *--p = static_cast<char>('0' + N % 10);
  if (negative) *--p = '-';
  while (p > out) *--p = ' ';
  return w;
}

// The E field of N x 10^-q, N with at most min(d, 7) digits or a carry to
// 10^d: the exponent, the d digits after the point (zeros past N's), written
// from the right end.
int exponent_field(char* out, std::uint32_t N, int q, bool negative, int w, int d) {
  int n = digit_count(N);
  const int e = N > 0 ? n - q : 0;  // within -44..40: two exponent digits
  negative = negative && N > 0;
  if ((negative ? 1 : 0) + 1 + d + 4 > w) return stars(out, w);
  if (n > d) N /= 10, --n;  // 10^d: its first d digits
  char* p = out + w;
  const int m = e < 0 ? -e : e;
  *--p = static_cast<char>('0' + m % 10);
  *--p = static_cast<char>('0' + m / 10);
  *--p = e < 0 ? '-' : '+';
  *--p = 'E';
  for (int i = d; i > n; --i) *--p = '0';
  for (; N > 0; N /= 10) *--p = static_cast<char>('0' + N % 10);
  *--p = '.';
  if (negative) *--p = '-';
  while (p > out) *--p = ' ';
  return w;
}

// The characters of an F field from its digits.
int chars_F(char* out, const Decimal& x, int w, int d) {
  const int before = x.decpt > 0 ? x.decpt : 0;
  char chars[FIELD_MAX + 48];  // sign, 39 digits before the point, the point, d digits
  char* p = chars;
  if (x.negative) *p++ = '-';
  for (int i = 1; i <= before; ++i) *p++ = dig(x, i);
  // No leading zero before the point: 0.05 -> "   .0500" in F8.4, unless
  // the field would show no digit at all (d = 0): 0.3 -> "0." in F4.0.
  if (before == 0 && d == 0) *p++ = '0';
  *p++ = '.';
  for (int j = 1; j <= d; ++j) *p++ = dig(x, x.decpt + j);
  return place(out, chars, static_cast<int>(p - chars), w);
}

// Exponent of E and free-form fields: at least `minimum` digits.
char* put_exponent(char* p, int e, int minimum) {
  *p++ = e < 0 ? '-' : '+';
  char tmp[12];
  auto r = std::to_chars(tmp, tmp + sizeof tmp, std::abs(e));
  for (int k = static_cast<int>(r.ptr - tmp); k < minimum; ++k) *p++ = '0';
  for (const char* q = tmp; q < r.ptr; ++q) *p++ = *q;
  return p;
}

int chars_E(char* out, const Decimal& x, int w, int d) {
  // A Real's decimal exponent lies within -44..39: always the "E+dd" form.
  char chars[FIELD_MAX + 8];
  char* p = chars;
  if (x.negative) *p++ = '-';
  *p++ = '.';
  for (int i = 1; i <= d; ++i) *p++ = dig(x, i);
  *p++ = 'E';
  p = put_exponent(p, x.decpt, 2);
  return place(out, chars, static_cast<int>(p - chars), w);
}

// Free-form real (W 15, D 6, X 2) and double real (W 24, D 15, X 3). The
// fixed form never carries past seven integer digits: no float or double lies
// close enough below 10^7, so the field always holds the characters.
int put_list(char* out, double v, int W, int D, int X, int cap) {
  if (!std::isfinite(v)) return put_nonfinite(out, v, W);
  Decimal x = decimal17(v);
  char chars[64];
  char* p = chars;
  if (x.count == 0) {
    *p++ = '0';
    *p++ = '.';
    for (int j = 0; j < D; ++j) *p++ = '0';
    *p++ = 'E';
    p = put_exponent(p, 0, X);
  } else if (x.decpt > 0 && x.decpt < W - D - 1) {
    round_to(x, std::min(x.decpt + D, cap));
    if (x.negative) *p++ = '-';
    for (int i = 1; i <= x.decpt; ++i) *p++ = dig(x, i);
    *p++ = '.';
    for (int j = 1; j <= D; ++j) *p++ = dig(x, x.decpt + j);
  } else {
    round_to(x, std::min(1 + D, cap));
    if (x.negative) *p++ = '-';
    *p++ = dig(x, 1);
    *p++ = '.';
    for (int i = 2; i <= D + 1; ++i) *p++ = dig(x, i);
    *p++ = 'E';
    p = put_exponent(p, x.decpt - 1, X);
  }
  const int len = static_cast<int>(p - chars);
  return place(out, chars, len, W);
}

}  // namespace

Decimal decimal17_exact(double v) {
  Decimal x{};
  if (v == 0.0) return x;
  x.negative = std::signbit(v);
  const double a = std::fabs(v);
  // The exact expansion of a widened float has at most 112 significant
  // digits, that of any double at most 767; the rest is zeros.
  const int precision = static_cast<double>(static_cast<float>(a)) == a ? 120 : 780;
  char buf[800];
  auto r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific, precision);
  *r.ptr = '\0';
  char digits[18];
  digits[0] = buf[0];
  std::memcpy(digits + 1, buf + 2, 17);
  const char* e = std::strchr(buf, 'e');
  x.decpt = exponent_of(e + 1) + 1;
  finish(x, digits);
  return x;
}

Decimal decimal17(double v) {
  if (v == 0.0) return Decimal{};
  // 25 digits, correctly rounded, hold the first 18 exactly unless that
  // rounding carried into them, which leaves digits 19..25 all zero.
  char buf[48];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific, 24);
  *r.ptr = '\0';
  const char* tail = buf + 2 + 17;  // digits 19..25
  bool zeros = true;
  for (int k = 0; k < 7; ++k) zeros = zeros && tail[k] == '0';
  if (zeros) return decimal17_exact(v);
  Decimal x{};
  x.negative = std::signbit(v);
  char digits[18];
  digits[0] = buf[0];
  std::memcpy(digits + 1, buf + 2, 17);
  x.decpt = exponent_of(buf + 27) + 1;
  finish(x, digits);
  return x;
}

int put_F_exact(char* out, Real v, int w, int d) {
  if (!std::isfinite(v)) return put_nonfinite(out, wide(v), w);
  return chars_F(out, shown_exact(wide(v), 'F', d), w, d);
}
int put_E_exact(char* out, Real v, int w, int d) {
  if (!std::isfinite(v)) return put_nonfinite(out, wide(v), w);
  return chars_E(out, shown_exact(wide(v), 'E', d), w, d);
}

int put_F(char* out, Real v, int w, int d) {
  std::uint32_t N;
  int q;
  if (std::isfinite(v) && scaled_fast(wide(v), 'F', d, N, q))
    return fixed_field(out, N, q, std::signbit(v), w, d);
  return put_F_exact(out, v, w, d);
}
int put_E(char* out, Real v, int w, int d) {
  std::uint32_t N;
  int q;
  if (std::isfinite(v) && scaled_fast(wide(v), 'E', d, N, q))
    return exponent_field(out, N, q, std::signbit(v), w, d);
  return put_E_exact(out, v, w, d);
}

int put_I(char* out, Integer v, int w) {
  char chars[16];
  auto r = std::to_chars(chars, chars + sizeof chars, v);
  return place(out, chars, static_cast<int>(r.ptr - chars), w);
}

int put_list_real(char* out, Real v) { return put_list(out, wide(v), 15, 6, 2, REAL_DIGITS); }
int put_list_double(char* out, double v) { return put_list(out, v, 24, 15, 3, DOUBLE_DIGITS); }
int put_list_int(char* out, Integer v) { return put_I(out, v, 11); }

}  // namespace korvo::detail
