#include <cstdio>

#include "run/run.h"
#include "site/site.h"
#include "spectral/spectral.h"

namespace korvo {

namespace {

// The run's arrays: fixed capacity, zero-filled, alive for the whole run.
Real T[NMAX], A[NMAX], B[NMAX];
Complex X[NMAX];
Complex AMP[2 * NMAX];
Real RHO[LMAX], VP[LMAX], QP[LMAX], VS[LMAX], QS[LMAX], TH[LMAX];

}  // namespace

void fp_error(const char* fault, const char* context) {
  char what[256];
  std::snprintf(what, sizeof what, "floating-point fault (%s) %s", fault, context);
  run_error(what);
}

void run(int argc, char** argv) {
  Sink con = console_out();
  Source in = console_in("the record file name");

  Integer NT = 0, NF = 0, IF1 = 0, NOM = 0;
  Real DT = 0.0f, DUR = 0.0f, DOM = 0.0f, EOM = 0.0f;
  read_record(con, in, argc, argv, T, A, X, NT, DT, NF, IF1, DUR, DOM, NOM, EOM);

  Real QEXP = 0.0f, ANGLE = 0.0f;
  Integer NL = 0, IFLAG = 0;
  read_soil_profile(con, in, RHO, VP, QP, VS, QS, TH, QEXP, NL, LMAX, ANGLE, IFLAG);

  amplify(con, in, DOM, NOM, RHO, VP, QP, VS, QS, TH, QEXP, NL, ANGLE, IFLAG, AMP, X, A, B);
  condition_spectrum(con, in, X, A, B, DOM, NOM);
  write_results(con, X, T, A, NT, DT, NF, DUR, DOM, NOM);
  stop_run();
}

}  // namespace korvo
