// The soil reader with the data as the soil file; a profile that reads is
// taken on through the transfer functions, S_amp1 and the phase factor, so
// that every floating-point fault of a wrong profile is met.
#include "harness.h"
#include "site/site.h"

namespace {

using korvo::Complex, korvo::Real, korvo::LMAX, korvo::NMAX;

Real RHO[LMAX], VP[LMAX], QP[LMAX], VS[LMAX], QS[LMAX], TH[LMAX];
Complex AMP[2 * NMAX], X[NMAX];
Real A[NMAX], B[NMAX];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::enter_scratch();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvo;
  fuzz::spit("soil.dat", data, size);
  // The wave type from the data, so that all three computations are reached.
  static const char* const dialogue[] = {"soil.dat\n0\n1\n", "soil.dat\n1\n2\n",
                                         "soil.dat\n2\n1\n"};
  Sink con = console_out();
  Source in = fuzz::answers(dialogue[size % 3], "the soil data file name");
  constexpr Integer NOM = 65;
  const Real DOM = 0.6135923f;
  for (Integer i = 0; i < NOM; ++i) X[i] = {1.0f / static_cast<Real>(i + 1), 0.5f};
  Real QEXP = 0.0f, ANGLE = 0.0f;
  Integer NL = 0, IFLAG = 0;
  try {
    read_soil_profile(con, in, RHO, VP, QP, VS, QS, TH, QEXP, NL, LMAX, ANGLE, IFLAG);
    if (NL < 1 || NL > LMAX) __builtin_trap();
    amplify(con, in, DOM, NOM, RHO, VP, QP, VS, QS, TH, QEXP, NL, ANGLE, IFLAG, AMP, X, A, B);
  } catch (const RunEnd&) {
  }
  std::fclose(in.file);
  return 0;
}
