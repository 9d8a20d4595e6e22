// The record reader with the data as the record file: every read, the length
// check, the frequency grid and the forward transform.
#include <cmath>

#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::enter_scratch();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvo;
  static Workspace w;
  fuzz::spit("accel.dat", data, size);
  fuzz::Answers a("accel.dat\n");
  Grid g;
  try {
    read_record(a.con, w.T, w.A, g);
    if (!transform_length(g)) return 0;
    for (Integer i = 1; i <= g.NF; ++i) w.X[i - 1] = {i <= g.NT ? w.A[i - 1] : 0.0f, 0.0f};
    fft(g.NF, w.X, -1);
    frequency_grid(g);
    // What the later stages rely on. Times need not increase: DT and DOM may be negative.
    if (g.NF < 4 || g.NF > NMAX || g.NOM != g.NF / 2 + 1 || g.DOM == 0.0f || !std::isfinite(g.DOM))
      __builtin_trap();
  } catch (const Error&) {
  }
  return 0;
}
