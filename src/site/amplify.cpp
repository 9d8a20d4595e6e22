#include <cmath>
#include <cstdio>

#include "site/site.h"

namespace korvo {

namespace {

[[noreturn]] void report_fault(const char* fault, const char* stage, Integer I, Real FR) {
  char where[128];
  std::snprintf(where, sizeof where, "in %s at frequency line %d (%.6g Hz)", stage,
                static_cast<int>(I), static_cast<double>(FR));
  fp_error(fault, where);
}

// Travel time through one layer as a phase angle.
inline Real phase(Real THJ, Real OM, Real VSJ) { return real(wide(THJ) * OM / VSJ); }

// Names the layer whose travel time went wrong (a zero shear velocity, most
// often): every fault of the phase factor leaves its angle Inf or NaN.
[[noreturn]] void phase_fault(const char* fault, Integer I, Real FR, Real OM, const Real* TH,
                              const Real* VS, Integer NL) {
  for (Integer J = 1; J <= NL - 1; ++J) {
    if (std::isfinite(phase(TH[J - 1], OM, VS[J - 1]))) continue;
    char where[192];
    std::snprintf(where, sizeof where,
                  "in the travel-time phase factor at frequency line %d (%.6g Hz), layer %d "
                  "(thickness %.6g, VS %.6g)",
                  static_cast<int>(I), static_cast<double>(FR), static_cast<int>(J),
                  static_cast<double>(TH[J - 1]), static_cast<double>(VS[J - 1]));
    fp_error(fault, where);
  }
  report_fault(fault, "the travel-time phase factor", I, FR);
}

}  // namespace

void amplify(Sink& con, Source& in, Real DOM, Integer NOM, const Real* RHO, const Real* VP,
             const Real* QP, const Real* VS, const Real* QS, const Real* TH, Real QEXP, Integer NL,
             Real ANGLE, Integer IFLAG, Complex* AMP, Complex* X, Real* A, Real* B) {
  const Real OM0 = 0.0f;
  Integer IWAVE = 0;
  write_list(con, {"  Enter Horizontal(=0), Vertical(=1) or Vp(=2):"});
  in.name = "the wave-type question";
  read_list(in, {&IWAVE});
  if (IWAVE == 0) {
    scalar_layer_transfer(OM0, DOM, NOM, NMAX, RHO, VS, QS, TH, QEXP, NL, LMAX, ANGLE, IFLAG, AMP);
  } else if (IWAVE == 1) {
    vertical_layer_transfer(OM0, DOM, NOM, NMAX, RHO, VP, QP, VS, QS, TH, QEXP, NL, LMAX, ANGLE,
                            IFLAG, AMP);
  } else {
    scalar_layer_transfer(OM0, DOM, NOM, NMAX, RHO, VP, QP, TH, QEXP, NL, LMAX, ANGLE, IFLAG, AMP);
  }

  write_list(con);
  write_list(con, {"S_amp: Amplification Factor for S wave"});
  write_list(con);
  write_list(con, {"WAVE * AMP(i):"});
  // AMP has two columns only: any other answer is asked again.
  Integer IAMP = 0;
  in.name = "the reference question (1 or 2)";
  do {
    write_list(con, {"  Enter 1 for AMP with respect to INPUT WAVE:"});
    write_list(con, {"  Enter 2 for AMP with respect to BEDROCK WAVE:"});
    read_list(in, {&IAMP});
  } while (IAMP != 1 && IAMP != 2);

  auto amp = [AMP](Integer i, Integer col) -> Complex& { return AMP[(col - 1) * NMAX + (i - 1)]; };
  auto x = [X](Integer i) -> Complex& { return X[i - 1]; };

  Sink samp;
  create_output(samp, "S_amp1");
  fp_clear();
  for (Integer I = 1; I <= NOM; ++I) {
    const Real OM = static_cast<Real>(I - 1) * DOM;
    // From the product before it is rounded to OM.
    const Real FR = real(wide(static_cast<Real>(I - 1)) * DOM / TWOPI);
    const Complex a1 = amp(I, 1), a2 = amp(I, 2);
    const Real m1 = cabs(a1), m2 = cabs(a2);
    if (const char* f = fp_fault()) report_fault(f, "the amplification moduli", I, FR);
    write_formatted(samp, "(F8.4,6E12.4)", {FR, a1.re, a1.im, m1, a2.re, a2.im, m2});

    const Complex P = cmul(amp(I, IAMP), x(I));
    if (const char* f = fp_fault()) report_fault(f, "the amplified spectrum", I, FR);
    // Travel time through the layers above the half-space, one factor per
    // layer from its own rounded angle; shear velocities for every wave type.
    Complex PH = {1.0f, 0.0f};
    for (Integer J = 1; J <= NL - 1; ++J) {
      const Real theta = phase(TH[J - 1], OM, VS[J - 1]);
      PH = cmul({rcos(theta), rsin(theta)}, PH);
    }
    x(I) = cmul(P, PH);
    if (const char* f = fp_fault()) phase_fault(f, I, FR, OM, TH, VS, NL);
    A[I - 1] = x(I).re;
    B[I - 1] = x(I).im;
  }
  close_output(samp);
}

}  // namespace korvo
