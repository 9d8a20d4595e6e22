// S_amp1 is written on another core during the amplification and amp_dat
// during the inverse transform: the files and reports must still be those of
// a run that wrote them in turn.
#include <gtest/gtest.h>

#include <string>

#include "support/e2e.h"

using namespace e2e;

namespace {

// An impulse of `peak` at t = 0 and 4095 zeros, DT = 1 s: a flat spectrum,
// every line `peak` (its transform adds nothing else to it).
std::string impulse(const char* peak) {
  std::string rec = std::string("0 ") + peak + "\n";
  for (int i = 1; i < 4096; ++i) rec += std::to_string(i) + " 0\n";
  return rec;
}

// 100 m of soft soil (VS 100) over rock (VS 2000), lightly damped: the
// surface amplifies its quarter-wave band (0.25 Hz) many times over.
const char* SOFT_OVER_ROCK =
    "     0.000\n         1\n         2     0.000\n"
    "    1.80  300.00   50.00  100.00   50.00  100.00\n"
    "    2.20 4000.00  100.00 2000.00  100.00    0.00\n";

Outcome run_with(const fs::path& dir, const std::string& rec) {
  spit(dir / "accel.dat", rec);
  spit(dir / "soil.dat", SOFT_OVER_ROCK);
  return run_korvo(dir, "accel.dat\nsoil.dat\n0\n1\n0\n0\n");
}

}  // namespace

// Lines of 1e38 times a transfer function above 3.4 overflow in the
// amplification, from line 618 on: S_amp1 holds lines 1..618, the first 618
// lines of the full file (a record of 1 has the same grid and S_amp1), and
// nothing after it is written.
TEST(ResultFiles, AmplificationFaultLeavesS_amp1ToItsLine) {
  const fs::path full = scratch("full"), faulty = scratch("faulty");
  ASSERT_EQ(run_with(full, impulse("1")).status, 0);
  const Outcome run = run_with(faulty, impulse("1e38"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "korvo: floating-point fault (overflow) in the amplified spectrum at frequency line "
            "618 (0.150635 Hz)\n");
  const std::string whole = slurp(full / "S_amp1"), cut = slurp(faulty / "S_amp1");
  EXPECT_EQ(lines_of(whole).size(), 2049u);
  EXPECT_EQ(lines_of(cut).size(), 618u);
  EXPECT_EQ(whole.substr(0, cut.size()), cut);
  EXPECT_FALSE(fs::exists(faulty / "amp_dat"));
  EXPECT_FALSE(fs::exists(faulty / "korvo_dat"));
}

// An impulse of 1e37 passes the amplification of a stiffer column (every
// modulus fits) but its lines sum past the largest Real in the inverse
// transform: amp_dat is written whole, then the transform's fault is the
// report, and korvo_dat is never created.
TEST(ResultFiles, InverseFaultAfterAmpDat) {
  const fs::path src = source_dir() / "tests/golden/reference_basic_h_input";
  const fs::path dir = scratch("inverse");
  fs::copy_file(src / "soil.dat", dir / "soil.dat");
  spit(dir / "accel.dat", impulse("1e37"));
  const Outcome run = run_korvo(dir, "accel.dat\nsoil.dat\n0\n1\n0\n0\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "korvo: floating-point fault (overflow) in the inverse transform\n");
  EXPECT_EQ(lines_of(slurp(dir / "S_amp1")).size(), 2049u);
  EXPECT_EQ(lines_of(slurp(dir / "amp_dat")).size(), 2048u);
  EXPECT_FALSE(fs::exists(dir / "korvo_dat"));
}
