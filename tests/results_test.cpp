// Result files formed in memory on another core and written afterwards: the
// files and reports must be those of a run that wrote them in turn.
#include "run/results.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "support/e2e.h"

using namespace korvo;
using namespace e2e;

namespace {

constexpr Real BIG = std::numeric_limits<float>::max();

std::string report(auto&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

}  // namespace

// S_amp1 keeps lines 1..last, the lines the amplification got through. A
// modulus that overflows on line 5 (|BIG + i BIG|) is reported when line 5
// is among them, after the four lines before it; beyond last it is not
// reached.
TEST(ResultRecords, TransferFileStopsAtTheAmplificationOrAModulus) {
  std::vector<Complex> AMP(2 * static_cast<size_t>(AMP_STRIDE), {1.0f, 0.0f});
  Grid g;
  g.DOM = 0.5f;
  g.NOM = 9;
  AMP[4] = {BIG, BIG};
  FrequencyRecords r;
  form_transfer_records(r, AMP.data(), g);
  ASSERT_EQ(r.end.size(), 4u);
  const fs::path dir = scratch("records");
  const std::string path = (dir / "S_amp1").string();
  // Line 1 at 0 Hz: both columns 1.
  const std::string line1 =
      "   .0000   .1000E+01   .0000E+00   .1000E+01   .1000E+01   .0000E+00   .1000E+01\r\n";
  EXPECT_EQ(report([&] { write_transfer_records(path.c_str(), r, 3); }), "");
  EXPECT_EQ(lines_of(slurp(path)).size(), 3u);
  EXPECT_EQ(slurp(path).substr(0, line1.size()), line1);
  for (Integer last : {5, 9}) {
    EXPECT_EQ(report([&] { write_transfer_records(path.c_str(), r, last); }),
              "floating-point fault (overflow) in the amplification moduli at frequency line 5 "
              "(0.31831 Hz)");
    EXPECT_EQ(lines_of(slurp(path)).size(), 4u);
  }
  // The same file as the one formed and written in turn.
  const std::string formed = slurp(path);
  EXPECT_NE(report([&] { write_transfer_file(path.c_str(), AMP.data(), g, 9); }), "");
  EXPECT_EQ(slurp(path), formed);
}

// amp_dat holds lines 2..NOM; a modulus fault on line 4 leaves lines 2 and 3.
TEST(ResultRecords, SpectrumFileStopsAtAModulus) {
  std::vector<Complex> X(8, {0.5f, -0.25f});
  X[3] = {-BIG, BIG};
  Grid g;
  g.DOM = 0.5f;
  g.NOM = 8;
  FrequencyRecords r;
  form_spectrum_records(r, X.data(), g);
  const fs::path dir = scratch("spectrum");
  const std::string path = (dir / "amp_dat").string();
  EXPECT_NE(report([&] { write_spectrum_records(path.c_str(), r); })
                .find("Fourier modulus at "
                      "frequency line 4 "),
            std::string::npos);
  const auto lines = lines_of(slurp(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "   .0796   .5000E+00  -.2500E+00   .5590E+00");
}

// amp_dat is formed while the spectrum is transformed back. An impulse of
// 1e37 has a flat spectrum whose moduli all fit, while the lines sum past the
// largest Real in the inverse transform: amp_dat is written whole, then the
// transform's fault is the report, and korvo_dat is never created.
TEST(ResultRecords, InverseFaultAfterAmpDat) {
  const fs::path src = source_dir() / "tests/golden/reference_basic_h_input";
  const fs::path dir = scratch("inverse");
  fs::copy_file(src / "soil.dat", dir / "soil.dat");
  std::string rec = "0 1e37\n";
  for (int i = 1; i < 4096; ++i) rec += std::to_string(i) + " 0\n";
  spit(dir / "accel.dat", rec);
  const Outcome run = run_korvo(dir, "accel.dat\nsoil.dat\n0\n1\n0\n0\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "korvo: floating-point fault (overflow) in the inverse transform\n");
  EXPECT_EQ(lines_of(slurp(dir / "S_amp1")).size(), 2049u);
  EXPECT_EQ(lines_of(slurp(dir / "amp_dat")).size(), 2048u);
  EXPECT_FALSE(fs::exists(dir / "korvo_dat"));
}
