#include <cstdio>

#include "run/run.h"
#include "spectral/spectral.h"

namespace korvo {

void write_results(Sink& con, Complex* X, Real* T, Real* A, Integer NT, Real DT, Integer NF,
                   Real DUR, Real DOM, Integer NOM) {
  auto x = [X](Integer i) -> Complex& { return X[i - 1]; };
  char where[96];

  write_list(con);
  write_list(con, {"The Fourier Spectrum data are stored in \"amp_dat\""});
  Sink amp;
  create_output(amp, "amp_dat");
  fp_clear();
  for (Integer I = 2; I <= NOM; ++I) {
    const Real FR = real(wide(static_cast<Real>(I - 1)) * DOM / TWOPI);
    const Real mod = cabs(x(I));
    if (const char* f = fp_fault()) {
      std::snprintf(where, sizeof where, "in the Fourier modulus at frequency line %d",
                    static_cast<int>(I));
      fp_error(f, where);
    }
    write_formatted(amp, "(F8.4,6E12.4)", {FR, x(I).re, x(I).im, mod});
  }
  close_output(amp);

  for (Integer I = 2; I <= NF / 2; ++I) x(NF + 2 - I) = {x(I).re, -x(I).im};
  fft(NF, X, NMAX, +1);
  if (const char* f = fp_fault()) fp_error(f, "in the inverse transform");
  for (Integer I = 1; I <= NF; ++I) {
    T[I - 1] = static_cast<Real>(I - 1) * DT;
    A[I - 1] = x(I).re / DUR;
  }
  if (const char* f = fp_fault()) fp_error(f, "in the output time axis and history");

  // Both extremes start from 0 and cover all NF samples, also those beyond NT.
  Real AMIN = 0.0f, AMAX = 0.0f;
  for (Integer I = 1; I <= NF; ++I) {
    if (A[I - 1] > AMAX) AMAX = A[I - 1];
    if (A[I - 1] < AMIN) AMIN = A[I - 1];
  }

  write_list(con);
  write_list(con, {" Nmber of data points    =", NF});
  write_list(con, {" Duration and Delta Time =", DUR, DT});
  write_list(con, {" Initial and final times =", 0.0f, DUR - DT});
  write_list(con);
  write_list(con, {" Min and Max amplitudes  =", AMIN, AMAX});
  write_list(con);
  write_list(con, {"Output data are stored in \"korvo_dat\""});
  write_list(con);

  Sink out;
  create_output(out, "korvo_dat");
  for (Integer I = 1; I <= NT; ++I) write_formatted(out, "(F8.3,3E12.4)", {T[I - 1], A[I - 1]});
  close_output(out);
}

}  // namespace korvo
