#include "spectral/spectral.h"

namespace korvo {

namespace detail {

// Each ramp applies strictly inside its own interval, so its divisor is
// positive whatever order the corners were given in; where the rising and
// falling ramps overlap, the falling one wins.
Real band_weight(Real OM, const Conditioning& c) {
  if (OM <= c.OML1 || OM >= c.OMH2) return 0.0f;
  Real FAC = 1.0f;
  if (OM < c.OML2) FAC = real((wide(OM) - c.OML1) / (wide(c.OML2) - c.OML1));
  if (OM > c.OMH1) FAC = real((wide(c.OMH2) - OM) / (wide(c.OMH2) - c.OMH1));
  return FAC;
}

}  // namespace detail

void condition(Complex* X, const Real* A, const Real* B, const Grid& g, const Conditioning& c) {
  auto x = [X](Integer i) -> Complex& { return X[i - 1]; };
  Integer I = 1;
  fp_stage(
      [&] {
        x(1) = {0.0f, 0.0f};
        for (I = 2; I <= g.NOM; ++I) {
          const Real OM = static_cast<Real>(I - 1) * g.DOM;
          const Real FAC = c.IBPF == 1 ? detail::band_weight(OM, c) : 1.0f;
          x(I) = {FAC * A[I - 1], FAC * B[I - 1]};
          if (c.INTG == 1) {
            x(I) = cdiv(x(I), {0.0f, OM});
          } else if (c.INTG == 2) {
            const Real p = OM * x(I).re, q = OM * x(I).im;
            x(I) = {-q, p};
          }
          if (fp_fault()) return;
        }
      },
      [&] { return "in the spectral conditioning " + at_line(I, g.DOM); });
}

}  // namespace korvo
