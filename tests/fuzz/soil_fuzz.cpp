// The soil reader with the data as the soil file; a profile that reads is
// taken on through the transfer functions, S_amp1 and the phase factor, so
// that every floating-point fault of a wrong profile is met.
#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::enter_scratch();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvo;
  static Workspace w;
  fuzz::spit("soil.dat", data, size);
  // The wave type from the data, so that all three computations are reached.
  static const char* const dialogue[] = {"soil.dat\n0\n1\n", "soil.dat\n1\n2\n",
                                         "soil.dat\n2\n1\n"};
  fuzz::Answers a(dialogue[size % 3]);
  Grid g;
  g.NOM = 65;
  g.DOM = 0.6135923f;
  for (Integer i = 0; i < g.NOM; ++i) w.X[i] = {1.0f / static_cast<Real>(i + 1), 0.5f};
  try {
    const Profile p = read_soil_profile(a.con);
    if (p.NL < 1 || p.NL > LMAX) __builtin_trap();
    site_transfer(ask_wave_type(a.con), g, p, w.AMP);
    const Integer IAMP = ask_reference(a.con);
    amplify(w.X, w.A, w.B, w.AMP, IAMP, g, p);
    write_transfer_file("S_amp1", w.AMP, g, g.NOM);
  } catch (const Error&) {
  }
  return 0;
}
