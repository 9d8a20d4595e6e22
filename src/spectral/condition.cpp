#include <cstdio>

#include "spectral/spectral.h"

namespace korvo {

namespace detail {

// Each ramp applies strictly inside its own interval, so its divisor is
// positive whatever order the corners were given in; where the rising and
// falling ramps overlap, the falling one wins.
Real band_weight(Real OM, Real OML1, Real OML2, Real OMH1, Real OMH2) {
  if (OM <= OML1 || OM >= OMH2) return 0.0f;
  Real FAC = 1.0f;
  if (OM < OML2) FAC = real((wide(OM) - OML1) / (wide(OML2) - OML1));
  if (OM > OMH1) FAC = real((wide(OMH2) - OM) / (wide(OMH2) - OMH1));
  return FAC;
}

void condition_pass(Complex* X, const Real* A, const Real* B, Real DOM, Integer NOM, Integer INTG,
                    Integer IBPF, Real OML1, Real OML2, Real OMH1, Real OMH2) {
  auto x = [X](Integer i) -> Complex& { return X[i - 1]; };
  fp_clear();
  x(1) = {0.0f, 0.0f};
  for (Integer I = 2; I <= NOM; ++I) {
    const Real OM = static_cast<Real>(I - 1) * DOM;
    const Real FAC = IBPF == 1 ? detail::band_weight(OM, OML1, OML2, OMH1, OMH2) : 1.0f;
    x(I) = {FAC * A[I - 1], FAC * B[I - 1]};
    if (INTG == 1) {
      x(I) = cdiv(x(I), {0.0f, OM});
    } else if (INTG == 2) {
      const Real p = OM * x(I).re, q = OM * x(I).im;
      x(I) = {-q, p};
    }
    if (const char* f = fp_fault()) {
      char where[128];
      std::snprintf(where, sizeof where,
                    "in the spectral conditioning at frequency line %d (%.6g Hz)",
                    static_cast<int>(I), wide(OM) / TWOPI);
      fp_error(f, where);
    }
  }
}

}  // namespace detail

void condition_spectrum(Sink& con, Source& in, Complex* X, const Real* A, const Real* B, Real DOM,
                        Integer NOM) {
  Integer INTG = 0, IBPF = 0;
  write_list(con);
  write_list(con, {" You can integrate or differentiate the original wave.;"});
  write_list(con, {"   Do not change   (Enter -> 0),"});
  write_list(con, {"   Integrate       (Enter -> 1),"});
  write_list(con, {"   Differentiate   (Enter -> 2):"});
  in.name = "the integrate/differentiate question";
  read_list(in, {&INTG});

  write_list(con);
  write_list(con, {" Band Pass Filter? (Yes=1 or No=0) :"});
  in.name = "the band-pass filter question";
  read_list(in, {&IBPF});

  // Unset corners keep these: an answer of three values leaves OMH2 far above
  // any frequency of the grid.
  Real OML1 = 0.0f, OML2 = 0.0f, OMH1 = 0.0f, OMH2 = 99999.9f;
  if (IBPF == 1) {
    write_list(con, {"   Data for TRAPEZOIDAL BAND PASS FILTER:"});
    write_list(con, {"   INITIAL AND FINAL OMs =", Integer{0}, static_cast<Real>(NOM - 1) * DOM});
    write_list(con);
    write_list(con, {"   Enter OML1,OML2,OMH1 and OMH2 (OML1<OML2<OMH1<OMH2): "});
    in.name = "the band-pass corners OML1,OML2,OMH1,OMH2";
    read_list(in, {&OML1, &OML2, &OMH1, &OMH2});
  }

  detail::condition_pass(X, A, B, DOM, NOM, INTG, IBPF, OML1, OML2, OMH1, OMH2);
}

}  // namespace korvo
