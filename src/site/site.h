// Layered site response: the transfer functions of the layered column for an
// obliquely incident plane wave, and their application to the record's spectrum.
#pragma once

#include <optional>

#include "korvo.h"
#include "simd/simd.h"

namespace korvo {

// The soil profile: layer columns on entries 1..NL, surface first, the
// half-space last (its thickness unused). Velocities and thicknesses share
// one length unit.
struct Profile {
  Real RHO[LMAX] = {}, VP[LMAX] = {}, QP[LMAX] = {}, VS[LMAX] = {}, QS[LMAX] = {}, TH[LMAX] = {};
  Integer NL = 0;
  Real QEXP = 0.0f;
  Real ANGLE = 0.0f;  // incidence, radians
  Integer IFLAG = 0;
};

// Transfer functions of the column for a wave of one type (velocity V,
// quality factor Q at 1 Hz: the shear or the compressional columns of p) on
// lines 1..NOM of g, line i at (i-1) DOM rad/s. Column 1 of AMP (stride
// AMP_STRIDE) is the surface over the input wave, times ANUM; column 2 the
// surface over the total motion at the top of the half-space. Rows beyond NOM
// are left untouched. A layer count outside 1..LMAX, more lines than NMAX or a
// floating-point fault (named by line and boundary) is an Error.
void scalar_layer_transfer(const Grid& g, const Profile& p, const Real* V, const Real* Q,
                           Complex* AMP);

// The same for vertical motion, with the effective velocity
// VE = VS sqrt(3 / (1 - VS^2/VP^2)) of each layer.
void vertical_layer_transfer(const Grid& g, const Profile& p, Complex* AMP);

// The transfer functions for the answer to the wave-type question: 0
// horizontal (shear columns), 1 vertical, anything else the P-wave component
// (compressional columns).
void site_transfer(Integer IWAVE, const Grid& g, const Profile& p, Complex* AMP);

// A fault in one frequency line of the amplification: the run's report, and
// the line, so that the transfer-function file can be left as far as it got.
struct LineFault : Error {
  Integer line;
  LineFault(const std::string& what, Integer I) : Error(what), line(I) {}
};

// Lines 1..NOM of X times column IAMP of AMP and the travel-time phase factor
// exp(i OM sum TH/VS) over the layers above the half-space; A and B receive
// the parts of the new lines. A floating-point fault throws LineFault.
void amplify(Complex* X, Real* A, Real* B, const Complex* AMP, Integer IAMP, const Grid& g,
             const Profile& p);

class Helper;

namespace detail {
// How the lines are computed, for tests: every plan gives the same bits.
struct LinePlan {
  bool threads;              // contiguous blocks of lines on every core
  bool reuse_table;          // the per-layer table kept while F = FHZ^QEXP stays the same
  std::optional<Simd> simd;  // the kernels' instruction set; none: the run's (simd_level)
  Helper* helper = nullptr;  // a thread standing by for a share, used before starting others
  LinePlan(bool threads_ = true, bool reuse_table_ = true, std::optional<Simd> simd_ = {})
      : threads(threads_), reuse_table(reuse_table_), simd(simd_) {}
};
void site_transfer(Integer IWAVE, const Grid& g, const Profile& p, Complex* AMP, LinePlan plan);
// amplify by a plan (reuse_table has no part in it).
void amplify(Complex* X, Real* A, Real* B, const Complex* AMP, Integer IAMP, const Grid& g,
             const Profile& p, LinePlan plan);

// exp(z) and exp(-z), each exactly as cexp forms it: cos(-y) = cos y and
// sin(-y) = -sin y bit for bit, and e^0 = 1, so one sin/cos pair serves both
// and an elastic layer below the critical angle needs no exponential. e^-x
// comes from `reciprocal` (of e^x, within a few units of e^-x) where that
// cannot show in the rounded Real (near_tie), else from the library.
template <class Reciprocal>
void cexp_pair_with(Complex z, Complex& E1, Complex& E2, Reciprocal reciprocal) {
  Real ex1 = 1.0f, ex2 = 1.0f;
  if (z.re != 0.0f) {
    // Both stay normal Reals: the reciprocal can neither overflow nor divide by 0.
    if (std::fabs(z.re) < 80.0f) {
      const double e = std::exp(wide(z.re)), inv = reciprocal(e);
      ex1 = real(e);
      ex2 = near_tie(inv) ? rexp(-z.re) : real(inv);
    } else {
      ex1 = rexp(z.re);
      ex2 = rexp(-z.re);
    }
  }
  const double y = wide(z.im);
  const double c = std::cos(y), s = std::sin(y);
  E1 = {real(wide(ex1) * c), real(wide(ex1) * s)};
  E2 = {real(wide(ex2) * c), real(wide(ex2) * -s)};
}
inline void cexp_pair(Complex z, Complex& E1, Complex& E2) {
  cexp_pair_with(z, E1, E2, [](double e) { return 1.0 / e; });
}
}  // namespace detail

}  // namespace korvo
