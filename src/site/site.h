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

// How the lines are computed: every plan gives the same bits (the
// schedule chooses one; tests try them all).
struct LinePlan {
  bool threads;              // contiguous blocks of lines on every core
  bool reuse_table;          // the per-layer table formed once when F = FHZ^QEXP is fixed
  std::optional<Simd> simd;  // the kernels' instruction set; none: the run's (simd_level)
  Helper* helper = nullptr;  // a thread standing by for a share, used before starting others
  LinePlan(bool threads_ = true, bool reuse_table_ = true, std::optional<Simd> simd_ = {})
      : threads(threads_), reuse_table(reuse_table_), simd(simd_) {}
};
void site_transfer(Integer IWAVE, const Grid& g, const Profile& p, Complex* AMP, LinePlan plan);
// amplify by a plan (reuse_table has no part in it).
void amplify(Complex* X, Real* A, Real* B, const Complex* AMP, Integer IAMP, const Grid& g,
             const Profile& p, LinePlan plan);

namespace detail {
// exp(z) and exp(-z), each exactly as cexp forms it, by the scalar kernel
// (site/lines.h): one sin/cos pair and e^-x as the reciprocal of e^x where
// that cannot show in the rounded Real (near_tie), else the library's.
void cexp_pair(Complex z, Complex& E1, Complex& E2);
// The same with another reciprocal, for tests of the near-tie guard.
void cexp_pair_with(Complex z, Complex& E1, Complex& E2, double (*reciprocal)(double));
}  // namespace detail

}  // namespace korvo
