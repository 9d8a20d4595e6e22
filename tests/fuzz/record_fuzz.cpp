// The record reader with the data as the record file: every read, the length
// check, the frequency grid and the forward transform.
#include <cmath>

#include "harness.h"
#include "run/run.h"

namespace {

korvo::Real T[korvo::NMAX], A[korvo::NMAX];
korvo::Complex X[korvo::NMAX];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::enter_scratch();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvo;
  fuzz::spit("accel.dat", data, size);
  Sink con = console_out();
  Source in = fuzz::answers("accel.dat\n", "the record file name");
  char arg0[] = "korvo";
  char* argv[] = {arg0, nullptr};
  Integer NT = 0, NF = 0, IF1 = 0, NOM = 0;
  Real DT = 0.0f, DUR = 0.0f, DOM = 0.0f, EOM = 0.0f;
  try {
    read_record(con, in, 1, argv, T, A, X, NT, DT, NF, IF1, DUR, DOM, NOM, EOM);
    // What the later stages rely on. Times need not increase: DT and DOM may be negative.
    if (NF < 4 || NF > NMAX || NOM != NF / 2 + 1 || DOM == 0.0f || !std::isfinite(DOM))
      __builtin_trap();
  } catch (const RunEnd&) {
  }
  std::fclose(in.file);
  return 0;
}
