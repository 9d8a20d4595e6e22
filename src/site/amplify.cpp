#include <cmath>
#include <cstdio>

#include "site/site.h"

namespace korvo {

namespace {

// Travel time through one layer as a phase angle.
inline Real phase(Real THJ, Real OM, Real VSJ) { return real(wide(THJ) * OM / VSJ); }

// Names the layer whose travel time went wrong (a zero shear velocity, most
// often): every fault of the phase factor leaves its angle Inf or NaN.
std::string phase_fault(Integer I, Real OM, const Grid& g, const Profile& p) {
  const std::string where = "in the travel-time phase factor " + at_line(I, g.DOM);
  for (Integer J = 1; J <= p.NL - 1; ++J) {
    if (std::isfinite(phase(p.TH[J - 1], OM, p.VS[J - 1]))) continue;
    char layer[128];
    std::snprintf(layer, sizeof layer, ", layer %d (thickness %.6g, VS %.6g)", static_cast<int>(J),
                  wide(p.TH[J - 1]), wide(p.VS[J - 1]));
    return where + layer;
  }
  return where;
}

}  // namespace

void amplify(Complex* X, Real* A, Real* B, const Complex* AMP, Integer IAMP, const Grid& g,
             const Profile& p) {
  auto x = [X](Integer i) -> Complex& { return X[i - 1]; };
  const Complex* S = AMP + (IAMP - 1) * AMP_STRIDE;
  fp_clear();
  for (Integer I = 1; I <= g.NOM; ++I) {
    const Real OM = static_cast<Real>(I - 1) * g.DOM;
    const Complex P = cmul(S[I - 1], x(I));
    if (const char* f = fp_fault()) {
      throw LineFault(std::string("floating-point fault (") + f + ") in the amplified spectrum " +
                          at_line(I, g.DOM),
                      I);
    }
    // Travel time through the layers above the half-space, one factor per
    // layer from its own rounded angle. The sign advances the motion (the
    // forward transform has exp(-i...)); shear velocities for every wave type,
    // since the time is that of the shear wave the layers were measured with.
    Complex PH = {1.0f, 0.0f};
    for (Integer J = 1; J <= p.NL - 1; ++J) {
      const Real theta = phase(p.TH[J - 1], OM, p.VS[J - 1]);
      PH = cmul({rcos(theta), rsin(theta)}, PH);
    }
    x(I) = cmul(P, PH);
    if (const char* f = fp_fault()) {
      throw LineFault(std::string("floating-point fault (") + f + ") " + phase_fault(I, OM, g, p),
                      I);
    }
    A[I - 1] = x(I).re;
    B[I - 1] = x(I).im;
  }
}

}  // namespace korvo
