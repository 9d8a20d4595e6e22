// korvo-site as a command: its files, its refusals, and the outcrop and
// within inputs agreeing through the files it writes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "column/site.h"

namespace fs = std::filesystem;

namespace {

const char* PROFILE = R"(water_table = 3.0
[curves.sand]
modulus = [[0.0001, 1.0], [0.001, 0.98], [0.01, 0.8], [0.1, 0.4], [1.0, 0.1]]
damping = [[0.0001, 0.6], [0.001, 1.0], [0.01, 4.0], [0.1, 12.0], [1.0, 22.0]]
[[layer]]
name = "sand"
thickness = 8.0
unit_weight = 19.0
vs = 220.0
model = "sand"
[[layer]]
name = "clay"
thickness = 12.0
unit_weight = 18.0
vs = 260.0
model = "darendeli"
plasticity_index = 30
ocr = 1.5
k0 = 0.6
[halfspace]
unit_weight = 22.0
vs = 900.0
damping_pct = 1.0
)";

class SiteCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("korvo_site_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    write("p.toml", PROFILE);
    // A Ricker pulse at 3 s in 40 s of record, in g: the column is at rest
    // again long before the record ends.
    std::ostringstream rec;
    rec.precision(17);
    for (int i = 0; i < 4000; ++i) {
      const double a = 3.14159265358979 * 2.5 * (i * 0.01 - 3.0);
      rec << i * 0.01 << " " << 0.25 * (1 - 2 * a * a) * std::exp(-a * a) << "\n";
    }
    write("pulse.txt", rec.str());
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  std::string read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  int run(const std::string& args) {
    const std::string cmd = "cd '" + dir_.string() + "' && '" KORVO_SITE_BINARY "' " + args +
                            " > stdout.txt 2> stderr.txt";
    const int s = std::system(cmd.c_str());
    return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  }
  std::vector<std::string> lines(const std::string& name) {
    std::istringstream in(read(name));
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }
  // A CSV file's column below its header row.
  std::vector<double> column(const std::string& name, int col) {
    std::vector<double> out;
    for (std::string l : lines(name)) {
      if (l.empty() || std::isalpha(static_cast<unsigned char>(l[0]))) continue;
      std::replace(l.begin(), l.end(), ',', ' ');
      std::istringstream in(l);
      double v = 0.0;
      for (int c = 0; c <= col; ++c) in >> v;
      out.push_back(v);
    }
    return out;
  }

  fs::path dir_;
};

}  // namespace

TEST_F(SiteCommand, WritesEveryResultFile) {
  ASSERT_EQ(run("p.toml pulse.txt --at 5 --at 20 -o out"), 0) << read("stderr.txt");
  const std::string console = read("stdout.txt");
  EXPECT_NE(console.find("converged: G/Gmax and damping within"), std::string::npos) << console;
  EXPECT_NE(console.find("surface PGA"), std::string::npos);
  EXPECT_EQ(read("stderr.txt"), "");

  EXPECT_EQ(column("out/surface.csv", 0).size(), 4000u);
  EXPECT_EQ(column("out/depth_5.csv", 1).size(), 4000u);
  EXPECT_EQ(column("out/depth_20.csv", 1).size(), 4000u);
  EXPECT_EQ(lines("out/surface.csv")[0], "time_s,accel_g");
  EXPECT_EQ(lines("out/spectra.csv")[0], "period_s,psa_input_g,psa_surface_g,ratio");
  EXPECT_EQ(lines("out/transfer.csv")[0], "freq_hz,real,imag,modulus");
  const auto profile = lines("out/profile.csv");
  ASSERT_GE(profile.size(), 3u);
  EXPECT_EQ(profile[0],
            "sublayer,layer,top_m,mid_m,thickness_m,unit_weight_kn_m3,vs0_m_s,vs_m_s,g_gmax,"
            "damping_pct,strain_eff_pct,strain_peak_pct,stress_peak_kpa,pga_top_g");
  EXPECT_EQ(profile.back().rfind(std::to_string(profile.size() - 1) + ",halfspace,20,", 0), 0u);
  const auto iterations = lines("out/iterations.csv");
  EXPECT_NE(iterations.back().find(",converged"), std::string::npos);
  EXPECT_EQ(column("out/spectra.csv", 0).size(), 100u);
  // The transfer function starts at 1 (rigid motion) on a grid from 0 Hz.
  const auto freq = column("out/transfer.csv", 0), modulus = column("out/transfer.csv", 3);
  EXPECT_EQ(freq.front(), 0.0);
  EXPECT_NEAR(modulus.front(), 1.0, 1e-12);
  // The surface peak on the console is the peak of surface.csv.
  double pga = 0.0;
  for (double a : column("out/surface.csv", 1)) pga = std::max(pga, std::fabs(a));
  char want[64];
  std::snprintf(want, sizeof want, "surface PGA %.6g g", pga);
  EXPECT_NE(console.find(want), std::string::npos) << console;
  // The half-space row's peak at its top is the peak of the motion at 20 m.
  double base = 0.0;
  for (double a : column("out/depth_20.csv", 1)) base = std::max(base, std::fabs(a));
  const std::string last = profile.back();
  EXPECT_NEAR(std::stod(last.substr(last.rfind(',') + 1)), base, 1e-6 * base);
}

// The motion within the column at the top of the half-space, computed from
// an outcrop run and fed back as --input within, gives the same surface.
TEST_F(SiteCommand, WithinInputReturnsTheOutcropRunsSurface) {
  ASSERT_EQ(run("p.toml pulse.txt --at 20 --tol 1e-10 -o outcrop"), 0) << read("stderr.txt");
  ASSERT_EQ(run("p.toml outcrop/depth_20.csv --input within --tol 1e-10 -o within"), 0)
      << read("stderr.txt");
  const auto a = column("outcrop/surface.csv", 1), b = column("within/surface.csv", 1);
  ASSERT_EQ(a.size(), b.size());
  double peak = 0.0, worst = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    peak = std::max(peak, std::fabs(a[i]));
    worst = std::max(worst, std::fabs(a[i] - b[i]));
  }
  EXPECT_LT(worst, 1e-6 * peak);
  // And the two runs settled on the same properties.
  EXPECT_EQ(lines("outcrop/profile.csv").size(), lines("within/profile.csv").size());
}

TEST_F(SiteCommand, RefusalsNameTheFaultAndWriteNothing) {
  write("bad.toml",
        std::string(PROFILE).replace(std::string(PROFILE).find("vs = 260.0"), 10, "vs = -260.0"));
  write("gap.txt", "0 0.1\n0.01 0.2\n0.05 0.1\n0.03 0.0\n");
  write("bad.txt", "0 0.1\n0.01 0.1x\n");
  write("huge.toml", "");
  fs::resize_file(dir_ / "huge.toml", 600u << 20);  // sparse: no disk, no time
  // A sample of 1e300 cm/s^2: the motions stay finite, the iteration's
  // changes in damping do not (iterations.csv held nan).
  {
    std::ifstream in(fs::path(KORVO_SOURCE_DIR) / "tests/data/tools/2516b_a.smc", std::ios::binary);
    std::string smc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    smc.replace(smc.find("8.3924E-2 2.0234E-1"), 19, "8.3924E-2 1e300");
    write("absurd.smc", smc);
    std::ifstream p(fs::path(KORVO_SOURCE_DIR) / "examples/eql/clay30.toml", std::ios::binary);
    write("clay30.toml", std::string((std::istreambuf_iterator<char>(p)), {}));
  }
  // Undamped, the column's resonances have no bounded response to a within input.
  write("undamped.toml",
        "water_table = 0\n[[layer]]\nname = \"a\"\nthickness = 10\nunit_weight = 18\n"
        "vs = 200\nmodel = \"linear\"\ndamping_pct = 0\n"
        "[halfspace]\nunit_weight = 22\nvs = 800\ndamping_pct = 0\n");
  const struct {
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {"bad.toml pulse.txt", 1,
       "korvo-site: bad.toml, line 15: layer \"clay\": 'vs' must be positive"},
      {"p.toml missing.txt", 1, "korvo-site: cannot open missing.txt: No such file"},
      {"undamped.toml pulse.txt --input within", 1, "korvo-site: --input within needs damping"},
      {"p.toml gap.txt", 1, "korvo-site: gap.txt, line 3: time 0.05 breaks the even spacing"},
      {"p.toml bad.txt", 1, "korvo-site: bad.txt, line 2: \"0.1x\" is not a number"},
      {"p.toml pulse.txt --unit furlong", 2,
       "korvo-site: --unit is one of g, cm/s^2, m/s^2, not \"furlong\""},
      {"p.toml pulse.txt --scale-pga 0.3 cm", 2,
       "korvo-site: one profile and one record at a time"},
      {"p.toml pulse.txt --scale-pga -1", 2,
       "korvo-site: --scale-pga: a peak is a positive number"},
      {"p.toml pulse.txt --scale-pga 0.3furlong", 2,
       "korvo-site: --scale-pga: unknown unit \"furlong\""},
      {"p.toml pulse.txt --strain-ratio 0.6 --magnitude 7", 2,
       "korvo-site: --strain-ratio and --magnitude both set the strain ratio"},
      {"p.toml pulse.txt --strain-ratio 65", 2,
       "korvo-site: --strain-ratio is the effective over peak strain, a ratio from 0.01 to 1, "
       "not \"65\""},
      {"p.toml pulse.txt --tol 0", 2, "korvo-site: --tol is a relative distance, a fraction from"},
      {"p.toml pulse.txt --input sideways", 2,
       "korvo-site: --input is one of outcrop, within, not \"sideways\""},
      {"p.toml pulse.txt --method plastic", 2,
       "korvo-site: --method is one of linear, eql, fdeql, nonlinear, not \"plastic\""},
      {"p.toml pulse.txt --method nonlinear --strain-ratio 0.5", 2,
       "korvo-site: --strain-ratio is for --method eql or linear, not --method nonlinear"},
      {"p.toml pulse.txt --method nonlinear --plain", 2, "korvo-site: --plain is for --method eql"},
      {"p.toml pulse.txt --loops 5", 2,
       "korvo-site: --loops is for --method nonlinear, not --method eql"},
      {"p.toml pulse.txt --method nonlinear --rayleigh 5,1", 2,
       "korvo-site: --rayleigh is two frequencies in Hz"},
      {"p.toml pulse.txt --method nonlinear --viscous frequency-independent --rayleigh 1,5", 2,
       "korvo-site: --rayleigh is for --viscous rayleigh, not --viscous frequency-independent"},
      {"p.toml pulse.txt --method nonlinear --viscous frequency-independent --max-element 0.01", 1,
       "korvo-site: frequency-independent damping takes at most 1000 elements (its matrix is "
       "full), not 2000: a larger --max-element"},
      {"p.toml pulse.txt --method nonlinear --substeps 2.5", 2,
       "korvo-site: --substeps is a whole number"},
      {"p.toml pulse.txt --method nonlinear --max-element 1e-4", 1,
       "korvo-site: elements of at most 1e-04 m cut the column into 200000 elements; at most"},
      {"p.toml pulse.txt --method nonlinear --max-element 0.001 --substeps 10000", 1,
       "korvo-site: 20000 elements over 3999 samples at 10000 substeps are 7.998e+11 "
       "element-steps; at most 1e+11: a larger --max-element, fewer --substeps or a shorter "
       "record"},
      {"p.toml pulse.txt --method nonlinear --at 25", 1,
       "korvo-site: the depth 25 m lies below the column's base at 20 m"},
      {"clay30.toml absurd.smc --method nonlinear", 1,
       "korvo-site: absurd.smc: the response is not finite"},
      // Its spectra, in single precision, came out as zeros with status 0.
      {"clay30.toml absurd.smc --method linear", 1,
       "korvo-site: absurd.smc: the response is not finite"},
      {"p.toml pulse.txt --nfft 100", 1,
       "korvo-site: a transform of 100 is shorter than the record's 4000 samples"},
      {"p.toml pulse.txt --nfft 8192 --pad 5", 2, "korvo-site: --pad and --nfft both set"},
      {"p.toml pulse.txt --bogus", 2, "korvo-site: unknown option --bogus"},
      {"p.toml", 2, "korvo-site: a RECORD is needed after the profile p.toml"},
      {"huge.toml pulse.txt", 1,
       "korvo-site: huge.toml holds 600 MB; an input may hold 512 MB at most"},
      {"pulse.txt p.toml", 2,
       "korvo-site: pulse.txt is a record, not a profile: korvo-site PROFILE RECORD"},
      {"p.toml p.toml", 2, "korvo-site: p.toml is a profile, not a record"},
      {"p.toml pulse.txt --band-pass 1,2,3", 2, "korvo-site: --band-pass is four corners in Hz"},
      {"p.toml pulse.txt --band-pass 1,2,3,x", 2, "korvo-site: --band-pass is four corners in Hz"},
      {"p.toml pulse.txt --baseline cubic", 2,
       "korvo-site: --baseline removes the record's mean or its linear trend"},
      {"clay30.toml absurd.smc --input within --plain --max-iter 3 --nfft 65536", 1,
       "korvo-site: absurd.smc: the response is not finite"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.args + " -o never"), c.status) << c.args;
    const std::string err = read("stderr.txt");
    EXPECT_EQ(err.rfind(c.message, 0), 0u) << c.args << "\n" << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.args << "\n" << err;
    EXPECT_FALSE(fs::exists(dir_ / "never")) << c.args;
  }
}

// korvo-site's spectra come from korvo-spectra's engine: the input and the
// surface columns of spectra.csv are korvo-spectra's PSA of the record and of
// surface.csv (same periods, 5 %, oversampled). And a record in korvo's number
// forms (D exponents) reads as korvo reads it.
TEST_F(SiteCommand, SpectraAreKorvoSpectras) {
  std::string text = read("pulse.txt");
  for (std::size_t e = text.find('e'); e != std::string::npos; e = text.find('e', e)) text[e] = 'D';
  write("pulse_d.txt", text);
  for (const char* method : {"linear", "eql"}) {
    ASSERT_EQ(run(std::string("p.toml pulse_d.txt --method ") + method + " -o out"), 0)
        << read("stderr.txt");
    const std::string spectra = "cd '" + dir_.string() + "' && '" KORVO_SPECTRA_BINARY "' ";
    ASSERT_EQ(std::system((spectra + "pulse.txt -o in.psa").c_str()), 0);
    ASSERT_EQ(std::system((spectra + "out/surface.csv -o out.psa").c_str()), 0);
    const auto period = column("out/spectra.csv", 0), input = column("out/spectra.csv", 1),
               surface = column("out/spectra.csv", 2), in = column("in.psa", 1),
               out = column("out.psa", 1), tin = column("in.psa", 0);
    ASSERT_EQ(period.size(), 100u);
    ASSERT_EQ(in.size(), 100u);
    ASSERT_EQ(out.size(), 100u);
    for (std::size_t k = 0; k < period.size(); ++k) {
      EXPECT_NEAR(period[k], tin[k], 1e-6 * tin[k]) << k;
      EXPECT_NEAR(input[k], in[k], 1e-3 * in[k]) << method << " T " << period[k];
      EXPECT_NEAR(surface[k], out[k], 1e-3 * out[k]) << method << " T " << period[k];
    }
  }
  EXPECT_NE(read("stdout.txt").find("converged"), std::string::npos);
}

// Input that runs but is likely a mistake gets a warning (exit 0, files
// written); --strict refuses it instead, writing nothing.
TEST_F(SiteCommand, LikelyMistakesAreWarnedOf) {
  auto with = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  const std::string P = PROFILE;
  const struct {
    std::string profile, args, warning;
  } cases[] = {
      {P, "--scale-pga 50", "pulse.txt: a peak of 50 g with no unit stated"},
      {with(P, "[[0.0001, 1.0], [0.001, 0.98], [0.01, 0.8], [0.1, 0.4], [1.0, 0.1]]",
            "[[0.000001, 1.0], [0.00001, 0.98], [0.0001, 0.8], [0.001, 0.4], [0.01, 0.1]]"),
       "", "curve set \"sand\": its strains end at 0.01 %: are they decimals"},
      {with(P, "[[0.0001, 0.6], [0.001, 1.0], [0.01, 4.0], [0.1, 12.0], [1.0, 22.0]]",
            "[[0.0001, 0.006], [0.001, 0.01], [0.01, 0.04], [0.1, 0.12], [1.0, 0.22]]"),
       "", "its damping is at most 0.22 %: is it given as fractions"},
      {with(P, "unit_weight = 19.0", "unit_weight = 118"), "",
       "m.toml, line 5: layer \"sand\": unit weight 118 kN/m^3 lies outside 12 to 25"},
      {with(P, "vs = 220.0", "vs = 22.0"), "", "layer \"sand\": Vs 22 m/s lies outside 50 to 4000"},
      {with(P, "k0 = 0.6", "k0 = 5"), "", "layer \"clay\": k0 5 lies outside 0.2 to 3"},
      {with(P, "water_table = 3.0", "water_table = 60"), "",
       "the water table at 60 m lies below the column's base at 20 m"},
      {with(P, "vs = 900.0", "vs = 200.0"), "",
       "the half-space (Vs 200 m/s) is softer than the layer above it (Vs 260 m/s)"},
      {P, "--strain-limit 0.001", "beyond 0.001 %): equivalent-linear analysis is doubtful"},
  };
  for (const auto& c : cases) {
    write("m.toml", c.profile);
    ASSERT_EQ(run("m.toml pulse.txt " + c.args + " -o out"), 0) << c.warning << read("stderr.txt");
    const std::string err = read("stderr.txt");
    EXPECT_NE(err.find("korvo-site: warning: "), std::string::npos) << c.warning;
    EXPECT_NE(err.find(c.warning), std::string::npos) << c.warning << "\n" << err;
    fs::remove_all(dir_ / "strict");
    EXPECT_EQ(run("m.toml pulse.txt " + c.args + " --strict -o strict"), 1) << c.warning;
    EXPECT_NE(read("stderr.txt").find("(--strict)"), std::string::npos) << c.warning;
    EXPECT_FALSE(fs::exists(dir_ / "strict/surface.csv")) << c.warning;
  }
  // The same record with its unit stated, in a plausible column: no warning.
  ASSERT_EQ(run("p.toml pulse.txt --unit g -o out"), 0);
  EXPECT_EQ(read("stderr.txt"), "");
}

// --scale-pga in any unit, on each kind of record, against the peaks read
// from the files by hand: the pulse 0.25 g, elCentro.AT2 0.31882 g,
// 2516b_a.smc 39.104 cm/s^2; 1 g = 980.665 cm/s^2. The console gives the
// scaled peak in the record's unit, and the linear column's surface scales by
// target / peak.
TEST_F(SiteCommand, ScalePgaInAnyUnitOnEveryFormat) {
  const std::string data = std::string(KORVO_SOURCE_DIR) + "/tests/data/tools/";
  fs::copy_file(data + "elCentro.AT2", dir_ / "elCentro.AT2");
  fs::copy_file(data + "2516b_a.smc", dir_ / "2516b_a.smc");
  const struct {
    const char *record, *scale, *unit;
    double peak, target;  // in the record's unit
  } cases[] = {
      {"pulse.txt", "0.5m/s^2", "g", 0.25, 0.5 / 9.80665},
      {"pulse.txt", "'98.0665 cm/s^2'", "g", 0.25, 0.1},
      {"elCentro.AT2", "294cm/s^2", "g", 0.31882, 294.0 / 980.665},
      {"elCentro.AT2", "0.1", "g", 0.31882, 0.1},
      {"2516b_a.smc", "0.3g", "cm/s^2", 39.104, 0.3 * 980.665},
      {"2516b_a.smc", "'2.5 m/s^2'", "cm/s^2", 39.104, 250.0},
      {"2516b_a.smc", "100gal", "cm/s^2", 39.104, 100.0},
  };
  auto surface_peak = [&]() {
    double p = 0.0;
    for (double a : column("out/surface.csv", 1)) p = std::max(p, std::fabs(a));
    return p;
  };
  std::string last;
  double unscaled = 0.0;
  for (const auto& c : cases) {
    if (last != c.record) {
      ASSERT_EQ(run(std::string("p.toml ") + c.record + " --method linear -o out"), 0)
          << read("stderr.txt");
      unscaled = surface_peak();
      last = c.record;
    }
    ASSERT_EQ(run(std::string("p.toml ") + c.record + " --method linear --scale-pga " + c.scale +
                  " -o out"),
              0)
        << c.scale << read("stderr.txt");
    const std::string console = read("stdout.txt");
    const auto at = console.find("PGA ", console.find("record: "));
    ASSERT_NE(at, std::string::npos) << console;
    std::istringstream line(console.substr(at + 4));
    double pga = 0.0, scale = 0.0;
    std::string unit, by;
    line >> pga >> unit >> by >> by >> scale;
    EXPECT_EQ(unit, c.unit) << c.record << " " << c.scale;
    EXPECT_NEAR(pga, c.target, 1e-5 * c.target) << c.record << " " << c.scale;
    EXPECT_NEAR(scale, c.target / c.peak, 1e-5 * scale) << c.record << " " << c.scale;
    EXPECT_NEAR(surface_peak() / unscaled, c.target / c.peak, 1e-6 * scale)
        << c.record << " " << c.scale;
  }
  // A factor instead of a target: the linear surface follows it.
  ASSERT_EQ(run(std::string("p.toml ") + last + " --method linear --scale 0.5 -o out"), 0)
      << read("stderr.txt");
  EXPECT_NEAR(surface_peak() / unscaled, 0.5, 1e-12);
  EXPECT_EQ(run("p.toml pulse.txt --scale 2 --scale-pga 0.3g -o never"), 2);
}

// Stopped before the stopping rule holds: the last state is written and the
// run says so on the console and in iterations.csv.
TEST_F(SiteCommand, UnconvergedRunSaysSo) {
  ASSERT_EQ(run("p.toml pulse.txt --max-iter 2 -o out"), 0);
  EXPECT_NE(read("stdout.txt").find("NOT converged"), std::string::npos);
  EXPECT_NE(read("stderr.txt").find("not converged after 2 iterations"), std::string::npos);
  const auto rows = lines("out/iterations.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_NE(rows.back().find(",not converged"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir_ / "out/profile.csv"));
}

// With gnuplot on the PATH, --plot draws the figures, motions.png only with
// --at (loops.png with --loops for the nonlinear method); gnuplot says nothing, and a folder whose
// name holds a quote (which would end a quoted gnuplot string) still gets its figures.
TEST_F(SiteCommand, PlotDrawsEveryFigureQuietly) {
  if (std::system("command -v gnuplot > /dev/null 2>&1") != 0) GTEST_SKIP() << "no gnuplot";
  ASSERT_EQ(run("p.toml pulse.txt --plot -o out"), 0) << read("stderr.txt");
  EXPECT_EQ(read("stderr.txt"), "");
  EXPECT_FALSE(fs::exists(dir_ / "out/motions.png"));
  ASSERT_EQ(run("p.toml pulse.txt --scale 2 --at 5 --at 12 --plot -o \"it's out\""), 0)
      << read("stderr.txt");
  EXPECT_EQ(read("stderr.txt"), "");
  EXPECT_NE(read("stdout.txt").find("drew it's out: profile.png, spectra.png, motions.png\n"),
            std::string::npos)
      << read("stdout.txt");
  // The nonlinear method's own figures, from its own files.
  ASSERT_EQ(
      run("p.toml pulse.txt --method nonlinear --substeps 5 --at 12 --loops 5,12 --plot -o nl"), 0)
      << read("stderr.txt");
  EXPECT_EQ(read("stderr.txt"), "");
  EXPECT_NE(read("stdout.txt").find("drew nl: profile.png, spectra.png, motions.png, loops.png\n"),
            std::string::npos)
      << read("stdout.txt");
  for (const char* name : {"out/profile.png", "out/spectra.png", "it's out/profile.png",
                           "it's out/motions.png", "nl/profile.png", "nl/loops.png"}) {
    const std::string png = read(name);
    ASSERT_GT(png.size(), 1000u) << name;
    EXPECT_EQ(png.substr(1, 3), "PNG") << name;
  }
}

// A disk that fills in the middle of a file (a file-size limit stands in for
// it, for root too): the run fails naming the file and the reason, and every
// file it leaves is whole, the same as a run with room to spare.
TEST_F(SiteCommand, FullDiskLeavesOnlyWholeFiles) {
  ASSERT_EQ(run("p.toml pulse.txt --at 5 -o full"), 0) << read("stderr.txt");
  for (const long limit : {3000L, 150000L}) {
    fs::remove_all(dir_ / "out");
    const std::string cmd = "cd '" + dir_.string() +
                            "' && (trap '' XFSZ; exec prlimit --fsize=" + std::to_string(limit) +
                            " '" KORVO_SITE_BINARY
                            "' p.toml pulse.txt --at 5 -o out) > stdout.txt 2> stderr.txt";
    const int s = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(s));
    EXPECT_EQ(WEXITSTATUS(s), 1) << limit;
    const std::string err = read("stderr.txt");
    EXPECT_EQ(err.rfind("korvo-site: cannot write ", 0), 0u) << err;
    EXPECT_NE(err.find(": File too large\n"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    for (const auto& entry : fs::directory_iterator(dir_ / "out")) {
      const std::string name = entry.path().filename().string();
      ASSERT_TRUE(fs::exists(dir_ / "full" / name)) << "stray file " << name;
      EXPECT_EQ(read("out/" + name), read("full/" + name)) << name << " at " << limit;
    }
  }
}

// The unit travels with the files: a run in cm/s^2 names it in every header,
// and its surface.csv read back (by korvo-site or korvo-spectra) keeps it.
TEST_F(SiteCommand, HeadersCarryTheRecordsUnit) {
  ASSERT_EQ(run("p.toml pulse.txt --unit cm/s^2 --scale-pga 250 -o cm"), 0) << read("stderr.txt");
  EXPECT_EQ(lines("cm/surface.csv")[0], "time_s,accel_cm_s2");
  EXPECT_EQ(lines("cm/spectra.csv")[0], "period_s,psa_input_cm_s2,psa_surface_cm_s2,ratio");
  EXPECT_NE(lines("cm/profile.csv")[0].find(",pga_top_cm_s2"), std::string::npos);
  ASSERT_EQ(run("p.toml cm/surface.csv --method linear -o again"), 0) << read("stderr.txt");
  EXPECT_NE(read("stdout.txt").find(" cm/s^2; outcrop"), std::string::npos) << read("stdout.txt");
  EXPECT_EQ(run("p.toml cm/surface.csv --unit g -o never"), 2);
  EXPECT_NE(read("stderr.txt").find("is in cm/s^2"), std::string::npos) << read("stderr.txt");
  const std::string spectra = "cd '" + dir_.string() + "' && '" KORVO_SPECTRA_BINARY "' ";
  ASSERT_EQ(std::system((spectra + "cm/surface.csv -o s.csv > /dev/null").c_str()), 0);
  EXPECT_EQ(lines("s.csv")[0], "period_s,psa_cm_s2,sv_cm_s,sd_cm");
}

namespace col = korvo::column;

// The script names the run on every figure and draws a boundary at each
// layer's top and at the half-space, not at the tops of sublayers within a
// layer: sand 0-8 and clay 8-20 (ft) in two sublayers each.
// At strains far below the backbones' reference strains the hysteretic soil
// is the linear soil, so the nonlinear run's surface peak is the linear
// method's, but for Rayleigh against frequency-independent damping (both
// about 1 % here) and the lumped mesh: a few per cent. Within, the rigid base
// and the within input are the same boundary.
TEST_F(SiteCommand, NonlinearAtSmallStrainIsTheLinearColumn) {
  const char* inputs[] = {"outcrop", "within"};
  for (const std::string input : inputs) {
    const std::string common = "p.toml pulse.txt --scale 1e-4 --input " + input;
    ASSERT_EQ(run(common + " --method nonlinear --at 10 --loops 10 -o nl"), 0)
        << read("stderr.txt");
    EXPECT_EQ(read("stderr.txt"), "");
    ASSERT_EQ(run(common + " --method linear --pad 40 --at 10 -o lin"), 0) << read("stderr.txt");
    auto pga = [&](const std::string& file) {
      double p = 0.0;
      for (double a : column(file, 1)) p = std::max(p, std::fabs(a));
      return p;
    };
    const double nl = pga("nl/surface.csv"), lin = pga("lin/surface.csv");
    EXPECT_NEAR(nl / lin, 1.0, 0.03) << input;
    EXPECT_NEAR(pga("nl/depth_10.csv") / pga("lin/depth_10.csv"), 1.0, 0.03) << input;

    // The loop at 10 m stays on the initial tangent: stress = Gmax strain.
    const auto profile = lines("nl/profile.csv");
    double gmax = 0.0;
    for (std::size_t row = 1; row + 1 < profile.size(); ++row) {
      std::vector<std::string> f;
      std::istringstream fields(profile[row]);
      for (std::string v; std::getline(fields, v, ',');) f.push_back(v);
      if (std::stod(f[2]) <= 10.0 && 10.0 < std::stod(f[3])) gmax = std::stod(f[5]);
      // Peak stress over the vertical effective stress at the element's middle:
      // 19 kN/m^3 of sand, water from 3 m.
      const double mid = (std::stod(f[2]) + std::stod(f[3])) / 2.0;
      if (mid < 8.0) {
        EXPECT_NEAR(std::stod(f[13]) * (19.0 * mid - 9.80665 * std::max(0.0, mid - 3.0)),
                    std::stod(f[12]), 1e-9 * std::stod(f[12]))
            << profile[row];
      }
    }
    const auto strain = column("nl/loops_10.csv", 1), stress = column("nl/loops_10.csv", 2);
    ASSERT_EQ(strain.size(), 4000u);
    std::size_t k = 0;
    for (std::size_t i = 0; i < strain.size(); ++i)
      if (std::fabs(strain[i]) > std::fabs(strain[k])) k = i;
    EXPECT_NEAR(stress[k] / (strain[k] / 100.0), gmax, 1e-3 * gmax) << input;
    EXPECT_EQ(profile.back().rfind(std::to_string(profile.size() - 1) + ",halfspace,20,", 0), 0u);
  }
}

// A rigid base moves with the record: at the column's foot depth_20.csv is
// the record itself, and its velocity the record's trapezoid integral, in m/s
// for a record in g.
TEST_F(SiteCommand, NonlinearRigidBaseMovesWithTheRecord) {
  ASSERT_EQ(run("p.toml pulse.txt --method nonlinear --input within --substeps 4 --at 20 -o nl"), 0)
      << read("stderr.txt");
  EXPECT_EQ(lines("nl/depth_20.csv")[0], "time_s,accel_g,vel_m_s,disp_m");
  const auto record = column("pulse.txt", 1), a = column("nl/depth_20.csv", 1),
             v = column("nl/depth_20.csv", 2);
  ASSERT_EQ(a.size(), record.size());
  double velocity = 0.0, worst_a = 0.0, worst_v = 0.0, peak_v = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (k > 0) velocity += 0.01 * 9.80665 * (record[k - 1] + record[k]) / 2.0;
    worst_a = std::max(worst_a, std::fabs(a[k] - record[k]));
    worst_v = std::max(worst_v, std::fabs(v[k] - velocity));
    peak_v = std::max(peak_v, std::fabs(velocity));
  }
  EXPECT_LT(worst_a, 1e-12);
  EXPECT_LT(worst_v, 1e-9 * peak_v);
}

TEST(PlotScript, TitlesAndLayerBoundaries) {
  col::SiteRequest q;
  q.profile_name = "profiles/p.toml";
  q.record_name = "recs/RSN_15 \"b\".AT2";
  q.record.unit = korvo::record::Unit::G;
  q.column.length_unit = "ft";
  q.column.length_factor = 0.3048;
  q.column.layers.resize(2);
  q.column.layers[0].name = "sand";
  q.column.layers[1].name = "clay";
  col::SiteRun r;
  for (const auto& [layer, top, thickness] :
       {std::tuple{0, 0.0, 4.0}, {0, 4.0, 4.0}, {1, 8.0, 6.0}, {1, 14.0, 6.0}}) {
    col::Sublayer s;
    s.layer = layer;
    s.top = top * 0.3048;
    s.thickness = thickness * 0.3048;
    r.subs.push_back(s);
  }
  r.pga = 0.15;
  r.scale = 2.0;
  r.at = {{5.0, {}}};

  auto count = [](const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  const std::string scaled =
      "RSN_15 \\\"b\\\".AT2 (scaled by 2 to PGA 0.3 g), p.toml, equivalent-linear\"";
  std::string script = col::plot_script(q, r, "out");
  EXPECT_EQ(count(script, scaled), 3u) << script;
  EXPECT_EQ(count(script, "set arrow"), 2u) << script;
  EXPECT_EQ(count(script, "first 8 to graph 1, first 8 "), 1u) << script;
  EXPECT_EQ(count(script, "first 20 to graph 1, first 20 "), 1u) << script;
  EXPECT_EQ(count(script, "\"out/depth_5.csv\""), 3u) << script;  // range, peak, curve
  EXPECT_EQ(col::plot_figures(r).back(), "motions.png");

  r.scale = 1.0;
  r.at.clear();
  q.options.method = col::Method::Linear;
  script = col::plot_script(q, r, "out");
  EXPECT_EQ(count(script, "RSN_15 \\\"b\\\".AT2, p.toml, linear\""), 2u) << script;
  EXPECT_EQ(count(script, "motions.png"), 0u);
  EXPECT_EQ(count(script, "vs_ft_s"), 0u);  // one Vs curve: no iteration changed it

  q.baseline = 1;
  q.band_pass_hz = {0.05, 0.1, 20, 25};
  EXPECT_EQ(col::plot_title(q, r),
            "RSN_15 \"b\".AT2, trend removed, band-passed 0.1-20 Hz, p.toml, linear");
}

// With one strain for every frequency the frequency-dependent method is the
// equivalent-linear one, through the whole command: files, depths, profile.
TEST_F(SiteCommand, FlatFrequencyDependentRunIsTheEquivalentLinearRun) {
  const std::string tight = " --tol 1e-10 --max-iter 400 --at 5";
  ASSERT_EQ(run("p.toml pulse.txt --plain -o eql" + tight), 0) << read("stderr.txt");
  ASSERT_EQ(run("p.toml pulse.txt --method fdeql --smoothing flat -o fd" + tight), 0)
      << read("stderr.txt");
  for (const char* file : {"surface.csv", "depth_5.csv"}) {
    const auto a = column(std::string("eql/") + file, 1), b = column(std::string("fd/") + file, 1);
    ASSERT_EQ(a.size(), b.size()) << file;
    double peak = 0.0, worst = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      peak = std::max(peak, std::fabs(a[i]));
      worst = std::max(worst, std::fabs(a[i] - b[i]));
    }
    EXPECT_LT(worst, 1e-6 * peak) << file;
  }
  for (const int col : {8, 9, 11, 12}) {  // G/Gmax, damping, peak strain, peak stress
    const auto a = column("eql/profile.csv", col), b = column("fd/profile.csv", col);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t m = 0; m + 1 < a.size(); ++m) EXPECT_NEAR(a[m], b[m], 1e-6 * a[m]) << col;
  }
  EXPECT_NE(read("fd/profile.csv").find(",strain_f_mean_hz,strain_exponent\n"), std::string::npos);
  EXPECT_EQ(run("p.toml pulse.txt --smoothing flat -o no"), 2);
  EXPECT_NE(read("stderr.txt").find("--smoothing is for --method fdeql"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir_ / "no"));
}

// An RVT motion in place of a record. The files agree with each other: the
// surface FAS is the input's times |transfer| on every line, and with the
// target's own periods asked for, the input PSA korvo-site reports is the
// target within the inverse RVT's tolerance (the motion run is the one made).
TEST_F(SiteCommand, RvtMotionFilesAgree) {
  write("ps.toml",
        "peak_factor = \"vanmarcke\"\n[point_source]\nmagnitude = 6.5\n"
        "distance_km = 31.05\nspreading = [[0, 1], [40, 0.5]]\n[grid]\nper_decade = 50\n");
  ASSERT_EQ(run("p.toml --motion ps.toml -o ps"), 0) << read("stderr.txt");
  EXPECT_NE(read("stdout.txt").find("Vanmarcke (1975) peak factor"), std::string::npos)
      << read("stdout.txt");
  EXPECT_EQ(lines("ps/fas.csv")[0], "freq_hz,fas_input_g_s,fas_surface_g_s");
  EXPECT_EQ(lines("ps/profile.csv")[0].find("pga_top"), std::string::npos);
  const auto in = column("ps/fas.csv", 1), out = column("ps/fas.csv", 2);
  const auto modulus = column("ps/transfer.csv", 3);
  ASSERT_EQ(in.size(), 201u);  // 4 decades at 50 a decade
  ASSERT_EQ(modulus.size(), in.size());
  for (std::size_t i = 0; i < in.size(); ++i)
    EXPECT_NEAR(out[i], in[i] * modulus[i], 1e-12 * out[i] + 1e-300) << i;

  write("tg.toml",
        "periods = [0.1, 0.2, 0.5, 1.0, 2.0]\n[target]\nperiods = [0.1, 0.2, 0.5, 1.0, 2.0]\n"
        "psa = [0.6, 1.0, 1.0, 0.6, 0.3]\nduration = 10\ntolerance_pct = 0.5\n");
  ASSERT_EQ(run("p.toml --motion tg.toml --method linear -o tg"), 0) << read("stderr.txt");
  EXPECT_NE(read("stdout.txt").find("inverse RVT: converged"), std::string::npos);
  const auto target = column("tg/target.csv", 1), psa = column("tg/spectra.csv", 1);
  ASSERT_EQ(psa.size(), 5u);
  for (std::size_t k = 0; k < psa.size(); ++k) EXPECT_NEAR(psa[k] / target[k], 1.0, 0.005) << k;
}

// A target the PGA plateau cannot meet (0.4 g at 0.02 s under 0.55 g at
// 0.05 s): the run is written and says so on the console and stderr;
// --strict refuses it. Faults in the motion file name the file, line and key.
TEST_F(SiteCommand, RvtMotionUnconvergedAndRefusals) {
  write("hard.toml",
        "[target]\nperiods = [0.02, 0.05, 0.1, 0.2, 0.5, 1.0]\n"
        "psa = [0.4, 0.55, 0.85, 1.0, 1.0, 0.6]\nmagnitude = 7\ndistance_km = 20\nmax_iter = 15\n");
  ASSERT_EQ(run("p.toml --motion hard.toml --method linear -o hard"), 0) << read("stderr.txt");
  EXPECT_NE(read("stdout.txt").find("inverse RVT: NOT converged after 15 iterations"),
            std::string::npos)
      << read("stdout.txt");
  EXPECT_NE(read("stderr.txt").find("hard.toml: inverse RVT not converged"), std::string::npos);
  EXPECT_GT(column("hard/target.csv", 3)[0], 1.0);  // misfit %, at 0.02 s
  EXPECT_EQ(run("p.toml --motion hard.toml --method linear --strict -o strict"), 1);
  EXPECT_FALSE(fs::exists(dir_ / "strict"));

  const struct {
    std::string file, args;
    int status;
    std::string message;
  } cases[] = {
      {"[point_source]\nmagnitude = 6\ndistance = 20\n", "", 1,
       "m.toml, line 3: [point_source]: unknown key \"distance\""},
      {"[point_source]\nmagnitude = 6\ndistance_km = 20\nstress_drop = -1\n", "", 1,
       "m.toml, line 1: [point_source]: point source: stress_drop must be positive"},
      {"[point_source]\nmagnitude = 6\ndistance_km = 20\nregion = \"ena\"\n", "", 1,
       "m.toml, line 1: [point_source]: region is wna or cena, not \"ena\""},
      {"[fas]\nfrequency = [1, 2]\namplitude = [0.1, \"a\"]\nduration = 5\n", "", 1,
       "m.toml, line 3: [fas]: amplitude is a number"},
      {"peak_factor = \"bt15\"\n[point_source]\nmagnitude = 6\ndistance_km = 20\n", "", 1,
       "m.toml: peak_factor bt15 needs bt_coefficients"},
      {"[fas]\nfrequency = [1, 2]\namplitude = [1, 1]\nduration = 5\n[target]\n", "", 1,
       "m.toml: one of [point_source], [fas] or [target] makes the motion"},
      {"[target]\nperiods = [1]\npsa = [0.1]\nduration = 5\nmagnitude = 6\n", "", 1,
       "m.toml, line 1: [target]: the duration: give duration (s), or magnitude and distance_km"},
      {"periods = [0.1, -1]\n[fas]\nfrequency = [1, 2]\namplitude = [1, 1]\nduration = 5\n", "", 1,
       "m.toml: periods are positive (s), not -1"},
      {"[fas]\nfrequency = [1, 2]\namplitude = [1, 1]\nduration = 5\n", "--scale 2", 2,
       "--scale is for a record"},
      {"[fas]\nfrequency = [1, 2]\namplitude = [1, 1]\nduration = 5\n", "pulse.txt", 2,
       "--motion m.toml takes the place of the RECORD pulse.txt"},
  };
  for (const auto& c : cases) {
    write("m.toml", c.file);
    EXPECT_EQ(run("p.toml --motion m.toml -o never " + c.args), c.status) << c.file;
    EXPECT_EQ(read("stderr.txt").find("korvo-site: " + c.message), 0u) << read("stderr.txt");
    EXPECT_FALSE(fs::exists(dir_ / "never")) << c.file;
  }
}
