#include "spectral/spectral.h"

namespace korvo {

bool transform_length(Grid& g) {
  g.NF = 2;
  g.IF1 = 0;
  for (Integer i = 2; i <= 15; ++i) {
    g.NF *= 2;
    if (g.NT <= g.NF) {
      g.IF1 = i;
      return true;
    }
  }
  g.NF = 0;
  return false;
}

void frequency_grid(Grid& g) {
  fp_stage(
      [&] {
        g.DUR = static_cast<Real>(g.NF) * g.DT;
        // From the product NF*DT before it is rounded to DUR.
        g.DOM = real(wide(TWOPI) / (wide(static_cast<Real>(g.NF)) * g.DT));
        g.NOM = g.NF / 2 + 1;
        g.EOM = static_cast<Real>(g.NOM) * g.DOM;
      },
      [&] {
        return g.DT == 0.0f ? "in the frequency grid: the sample interval T(2) - T(1) is 0"
                            : "in the frequency grid";
      });
}

void scale(Complex* X, Integer NF, Real DT) {
  for (Integer i = 1; i <= NF; ++i) X[i - 1] = {X[i - 1].re * DT, X[i - 1].im * DT};
}

void complete_hermitian(Complex* X, Integer NF) {
  auto x = [X](Integer i) -> Complex& { return X[i - 1]; };
  for (Integer I = 2; I <= NF / 2; ++I) x(NF + 2 - I) = {x(I).re, -x(I).im};
}

void time_history(const Complex* X, Real* T, Real* A, const Grid& g) {
  for (Integer I = 1; I <= g.NF; ++I) {
    T[I - 1] = static_cast<Real>(I - 1) * g.DT;
    A[I - 1] = X[I - 1].re / g.DUR;
  }
}

}  // namespace korvo
