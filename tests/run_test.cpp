// Whole runs of the korvo binary checked against independent expectations:
// closed forms for what a run must do to simple records, and the invariants
// of the result files.
#include "run/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "support/e2e.h"

using namespace e2e;

namespace {

// What E12.4 can show of want: half a unit in its fourth significant digit,
// plus the single-precision error of the transforms relative to the peak.
double shown(double want, double peak) {
  const double unit =
      want == 0.0 ? 0.0 : std::pow(10.0, std::floor(std::log10(std::fabs(want))) - 3);
  return 0.5 * unit + 1e-5 * peak;
}

// korvo_dat: (time, value) per line, each line exactly 20 characters.
std::vector<std::pair<double, double>> history(const fs::path& file) {
  std::vector<std::pair<double, double>> s;
  for (const auto& line : lines_of(slurp(file))) {
    EXPECT_EQ(line.size(), 20u) << line;
    s.emplace_back(std::stod(line.substr(0, 8)), std::stod(line.substr(8, 12)));
  }
  return s;
}

std::string record_of(int n, double dt, const std::function<double(double)>& a) {
  std::string s;
  char line[64];
  for (int i = 0; i < n; ++i) {
    std::snprintf(line, sizeof line, "%.6f %.9e\n", i * dt, a(i * dt));
    s += line;
  }
  return s;
}

std::string soil(int iflag, const char* qexp, const std::vector<std::string>& layers) {
  char head[128];
  std::snprintf(head, sizeof head, "       0.0\n%10d\n%10zu%10s\n", iflag, layers.size(), qexp);
  std::string s = head;
  for (const auto& l : layers) s += l + "\n";
  return s;
}

// rho, VP, QP, VS, QS, TH in six F8 fields.
const std::string kRock = "     2.0  2000.0   100.0  1000.0    50.0     0.0";
const std::string kSameAsRock = "     2.0  2000.0   100.0  1000.0    50.0   100.0";
const std::string kSoft = "     1.8   600.0    20.0   200.0    10.0    30.0";

struct Case {
  fs::path dir;
  Outcome run;
};

Case run_case(const std::string& name, const std::string& record, const std::string& profile,
              const std::string& answers) {
  const fs::path dir = scratch(name);
  spit(dir / "accel.dat", record);
  spit(dir / "soil.dat", profile);
  return {dir, run_korvo(dir, "accel.dat\nsoil.dat\n" + answers)};
}

// NF = 1024, DT = 0.01: DUR = 10.24 s, line k + 1 at k / 10.24 Hz.
constexpr int kN = 1024;
constexpr double kDt = 0.01;
constexpr double kOmega = 2.0 * M_PI * 50 / (kN * kDt);  // line 51 exactly

double tone(double t) { return std::sin(kOmega * t); }

}  // namespace

// A sinusoid through the half-space alone comes back as itself times ANUM
// (2 with IFLAG = 1), with zero mean.
TEST(WholeRun, SinusoidThroughHalfSpace) {
  const auto c = run_case("halfspace_sine", record_of(kN, kDt, tone), soil(1, "999.0", {kRock}),
                          "0\n1\n0\n0\n");
  ASSERT_EQ(c.run.status, 0) << c.run.err;
  const auto h = history(c.dir / "korvo_dat");
  ASSERT_EQ(h.size(), static_cast<size_t>(kN));
  double sum = 0;
  for (size_t i = 0; i < h.size(); ++i) {
    EXPECT_NEAR(h[i].first, static_cast<double>(i) * kDt, 5e-4);
    const double want = 2.0 * tone(static_cast<double>(i) * kDt);
    EXPECT_NEAR(h[i].second, want, shown(want, 2.0)) << "sample " << i;
    sum += h[i].second;
  }
  EXPECT_NEAR(sum / kN, 0.0, 1e-5);
}

// Integration of sin(wt) gives -cos(wt)/w; differentiation gives w cos(wt).
TEST(WholeRun, IntegrateAndDifferentiateATone) {
  struct {
    const char* name;
    const char* answers;
    double scale;
  } cases[] = {
      {"integrate", "0\n1\n1\n0\n", -1.0 / kOmega},
      {"differentiate", "0\n1\n2\n0\n", kOmega},
  };
  for (const auto& k : cases) {
    const auto c = run_case(k.name, record_of(kN, kDt, tone), soil(0, "999.0", {kRock}), k.answers);
    ASSERT_EQ(c.run.status, 0) << c.run.err;
    const auto h = history(c.dir / "korvo_dat");
    ASSERT_EQ(h.size(), static_cast<size_t>(kN));
    for (size_t i = 0; i < h.size(); ++i) {
      const double want = k.scale * std::cos(kOmega * static_cast<double>(i) * kDt);
      EXPECT_NEAR(h[i].second, want, shown(want, std::fabs(k.scale))) << k.name << " sample " << i;
    }
  }
}

// Two tones on lines 51 and 201, corners 0, 100, 150 and 300 frequency steps:
// the first tone sits half way up the rising ramp (weight 0.5), the second a
// third of the way down the falling one (weight 2/3).
TEST(WholeRun, BandPassWeightsTones) {
  const double dom = 2.0 * M_PI / (kN * kDt);
  const double w1 = 50 * dom, w2 = 200 * dom;
  auto two = [&](double t) { return std::sin(w1 * t) + std::sin(w2 * t); };
  char corners[128];
  // Rising 0 -> 100 dom (weight 0.5 at line 51), falling 150 -> 300 dom (weight 2/3 at line 201).
  std::snprintf(corners, sizeof corners, "0\n1\n0\n1\n0 %.7f %.7f %.7f\n", 100 * dom, 150 * dom,
                300 * dom);
  const auto c =
      run_case("bandpass_tones", record_of(kN, kDt, two), soil(0, "999.0", {kRock}), corners);
  ASSERT_EQ(c.run.status, 0) << c.run.err;
  const auto h = history(c.dir / "korvo_dat");
  ASSERT_EQ(h.size(), static_cast<size_t>(kN));
  for (size_t i = 0; i < h.size(); ++i) {
    const double t = static_cast<double>(i) * kDt;
    const double want = 0.5 * std::sin(w1 * t) + 2.0 / 3.0 * std::sin(w2 * t);
    EXPECT_NEAR(h[i].second, want, shown(want, 1.2)) << i;
  }
}

// A layer of the half-space's own material at vertical incidence delays the
// wave by TH/VS; the travel-time phase factor takes that delay back, so the
// surface motion keeps the record's timing (times ANUM = 2), less its mean,
// which goes with the zero-frequency line.
TEST(WholeRun, PhaseFactorRestoresTiming) {
  auto pulse = [](double t) { return std::exp(-std::pow((t - 3.0) / 0.2, 2)); };
  const auto c = run_case("phase_factor", record_of(kN, kDt, pulse),
                          soil(1, "999.0", {kSameAsRock, kRock}), "0\n1\n0\n0\n");
  ASSERT_EQ(c.run.status, 0) << c.run.err;
  const auto h = history(c.dir / "korvo_dat");
  ASSERT_EQ(h.size(), static_cast<size_t>(kN));
  double mean = 0;
  for (int i = 0; i < kN; ++i) mean += pulse(i * kDt) / kN;
  for (size_t i = 0; i < h.size(); ++i) {
    const double want = 2.0 * (pulse(static_cast<double>(i) * kDt) - mean);
    EXPECT_NEAR(h[i].second, want, shown(want, 2.0)) << i;
  }
}

// amp_dat holds NF/2 lines from 1/DUR to 1/(2 DT) Hz; S_amp1 NF/2 + 1 lines
// from 0; korvo_dat NT lines from time 0 whatever the record's first time.
// DT = 1/64 s keeps every time exact: DUR = 16 s.
TEST(WholeRun, FileShapes) {
  auto rec = [](double t) { return std::sin(3.0 * t) * std::exp(-0.2 * t); };
  std::string record;
  char line[64];
  for (int i = 0; i < 1000; ++i) {
    std::snprintf(line, sizeof line, "%.6f %.6e\n", 5.0 + i / 64.0, rec(i / 64.0));
    record += line;
  }
  const auto c = run_case("shapes", record, soil(0, "0.5", {kSoft, kRock}), "0\n2\n0\n0\n");
  ASSERT_EQ(c.run.status, 0) << c.run.err;
  const auto amp = lines_of(slurp(c.dir / "amp_dat"));
  ASSERT_EQ(amp.size(), 512u);
  EXPECT_EQ(amp.front().substr(0, 8), "   .0625");  // 1 / 16
  EXPECT_EQ(amp.back().substr(0, 8), " 32.0000");   // 512 / 16
  for (const auto& l : amp) EXPECT_EQ(l.size(), 44u);
  const auto samp = lines_of(slurp(c.dir / "S_amp1"));
  ASSERT_EQ(samp.size(), 513u);
  EXPECT_EQ(samp.front().substr(0, 8), "   .0000");
  for (const auto& l : samp) EXPECT_EQ(l.size(), 80u);
  const auto h = history(c.dir / "korvo_dat");
  ASSERT_EQ(h.size(), 1000u);
  EXPECT_EQ(h.front().first, 0.0);
  EXPECT_EQ(h.back().first, 15.609);  // 999 / 64 = 15.609375
  EXPECT_NE(c.run.out.find(" Nmber of data points    =       1024\n"
                           " Duration and Delta Time =      16.000000    1.562500E-02\n"),
            std::string::npos)
      << c.run.out;
}

// The answers 2 and 7 to the wave-type question give identical files, and
// S_amp1 does not depend on the reference answer.
TEST(WholeRun, EquivalentAnswersGiveIdenticalFiles) {
  auto rec = [](double t) { return std::sin(7.0 * t) + 0.3 * std::cos(23.0 * t); };
  const std::string record = record_of(700, 0.02, rec);
  const std::string profile = soil(1, "0.0", {kSoft, kSameAsRock, kRock});
  const auto p2 = run_case("wave2", record, profile, "2\n1\n0\n0\n");
  const auto p7 = run_case("wave7", record, profile, "7\n1\n0\n0\n");
  const auto r2 = run_case("wave2_ref2", record, profile, "2\n2\n0\n0\n");
  ASSERT_EQ(p2.run.status, 0) << p2.run.err;
  ASSERT_EQ(p7.run.status, 0) << p7.run.err;
  ASSERT_EQ(r2.run.status, 0) << r2.run.err;
  EXPECT_EQ(p2.run.out, p7.run.out);
  for (const char* f : {"S_amp1", "amp_dat", "korvo_dat"})
    EXPECT_EQ(slurp(p2.dir / f), slurp(p7.dir / f)) << f;
  EXPECT_EQ(slurp(p2.dir / "S_amp1"), slurp(r2.dir / "S_amp1"));
  EXPECT_NE(slurp(p2.dir / "amp_dat"), slurp(r2.dir / "amp_dat"));
}

// At DT = 0.0005 s the top line is 999.99994 Hz (999.9999); below it the
// frequency field of the top lines overflows to asterisks, the rest stays.
TEST(WholeRun, KilohertzFrequenciesOverflowTheirField) {
  struct {
    const char* name;
    double dt;
    const char* last_field;
  } cases[] = {{"dt_0005", 0.0005, "999.9999"}, {"dt_0004", 0.0004, "********"}};
  for (const auto& k : cases) {
    const auto c = run_case(k.name, record_of(64, k.dt, [](double t) { return std::sin(900 * t); }),
                            soil(0, "999.0", {kRock}), "0\n1\n0\n0\n");
    ASSERT_EQ(c.run.status, 0) << c.run.err;
    const auto samp = lines_of(slurp(c.dir / "S_amp1"));
    ASSERT_FALSE(samp.empty());
    EXPECT_EQ(samp.back().substr(0, 8), k.last_field) << k.name;
    EXPECT_EQ(samp.back().size(), 80u);
    EXPECT_EQ(lines_of(slurp(c.dir / "amp_dat")).back().substr(0, 8), k.last_field) << k.name;
  }
}

// A second run in the same folder leaves only its own files, even shorter.
TEST(WholeRun, SecondRunReplacesFiles) {
  const fs::path dir = scratch("rerun");
  spit(dir / "soil.dat", soil(0, "999.0", {kSoft, kRock}));
  spit(dir / "accel.dat", record_of(4000, 0.01, tone));
  ASSERT_EQ(run_korvo(dir, "accel.dat\nsoil.dat\n0\n1\n0\n0\n").status, 0);
  spit(dir / "accel.dat", record_of(10, 0.01, tone));
  const Outcome second = run_korvo(dir, "accel.dat\nsoil.dat\n0\n1\n0\n0\n");
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(lines_of(slurp(dir / "korvo_dat")).size(), 10u);
  EXPECT_EQ(lines_of(slurp(dir / "amp_dat")).size(), 8u);
  EXPECT_EQ(lines_of(slurp(dir / "S_amp1")).size(), 9u);
}

// The example profile: the first resonance of surface over outcrop is about
// 3.0 near 2.3 Hz and surface over the top of the half-space about 13.8
// (values computed independently for this published profile).
TEST(WholeRun, ExampleProfileResonance) {
  const fs::path dir = scratch("example");
  for (const char* f : {"elc180.txt", "shake91ex.soil", "answers"})
    fs::copy_file(source_dir() / "examples" / f, dir / f);
  const Outcome run = run_korvo(dir, slurp(dir / "answers"));
  ASSERT_EQ(run.status, 0) << run.err;
  double best = 0, at = 0, within = 0;
  for (const auto& l : lines_of(slurp(dir / "S_amp1"))) {
    const double f = std::stod(l.substr(0, 8));
    if (f > 4.0) break;
    const double m = std::stod(l.substr(32, 12));
    if (m > best) best = m, at = f, within = std::stod(l.substr(68, 12));
  }
  EXPECT_NEAR(best, 3.00, 0.06);
  EXPECT_NEAR(at, 2.3, 0.05);
  EXPECT_NEAR(within, 13.8, 0.5);
}

// Alone, --help and --version answer and end; beside another argument, or
// misspelt, an argument is a record name as always.
TEST(WholeRun, HelpAndVersion) {
  const fs::path dir = scratch("help");
  const Outcome help = run_korvo(dir, "", "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: korvo", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("S_amp1"), std::string::npos);
  const Outcome version = run_korvo(dir, "", "--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("korvo 1.", 0), 0u) << version.out;
  const Outcome named = run_korvo(dir, "\n", "--helpx");
  EXPECT_EQ(named.status, 1);
  EXPECT_NE(named.err.find("cannot open --helpx"), std::string::npos) << named.err;
  const Outcome two = run_korvo(dir, "\n", "--help x");
  EXPECT_NE(two.err.find("cannot open --help"), std::string::npos) << two.err;
  EXPECT_FALSE(fs::exists(dir / "S_amp1"));
}

// The schedule's switch takes 1 or 2 (empty: chosen by the run); anything else
// is refused before the first prompt, in one line naming the variable.
TEST(WholeRun, ThreadsSwitchRefusesOtherValues) {
  const fs::path dir = scratch("threads");
  for (const char* v : {"0", "3", "two", "1 ", "-1"}) {
    const Outcome r =
        run_in(dir, std::string("KORVO_THREADS='") + v + "' '" KORVO_BINARY "'", "accel.dat\n");
    EXPECT_EQ(r.status, 1) << v;
    EXPECT_EQ(r.out, "") << v;
    EXPECT_EQ(r.err, std::string("korvo: KORVO_THREADS=") + v +
                         ": 1 (every stage on one thread) or 2 (stages overlapped on two cores)\n");
  }
  const Outcome chosen = run_in(dir, "KORVO_THREADS= '" KORVO_BINARY "'", "\n");
  EXPECT_EQ(chosen.err.find("KORVO_THREADS"), std::string::npos) << chosen.err;
}

// The library's entries refuse, whoever calls them, what would index past
// their arrays or leave no frequency grid, naming the argument in one line;
// the control goes through.
TEST(Entries, RefuseWhatIsOutOfRange) {
  using korvo::Answers;
  using korvo::Grid;
  using korvo::Profile;
  static korvo::Workspace w;
  Profile rock;
  rock.NL = 1;
  rock.RHO[0] = 2.0f, rock.VP[0] = 2000.0f, rock.QP[0] = 100.0f;
  rock.VS[0] = 1000.0f, rock.QS[0] = 50.0f, rock.QEXP = 999.0f;
  struct {
    const char* what;
    std::function<void(Grid&, Answers&, Profile&)> spoil;
    const char* named;  // the start of the report; none: a sound call
  } cases[] = {
      {"control", [](Grid&, Answers& a, Profile&) { a.IAMP = 2; }, nullptr},
      {"IAMP past AMP's two columns", [](Grid&, Answers& a, Profile&) { a.IAMP = 3; }, "IAMP = 3:"},
      {"IAMP before them", [](Grid&, Answers& a, Profile&) { a.IAMP = 0; }, "IAMP = 0:"},
      {"IWAVE below 0", [](Grid&, Answers& a, Profile&) { a.IWAVE = -1; }, "IWAVE = -1:"},
      {"IWAVE above 2", [](Grid&, Answers& a, Profile&) { a.IWAVE = 3; }, "IWAVE = 3:"},
      {"no pairs", [](Grid& g, Answers&, Profile&) { g.NT = 0; }, "NT = 0:"},
      {"DT = 0", [](Grid& g, Answers&, Profile&) { g.DT = 0.0f; }, "DT = 0:"},
      {"DT < 0", [](Grid& g, Answers&, Profile&) { g.DT = -0.01f; }, "DT = -0.01:"},
      {"DT NaN", [](Grid& g, Answers&, Profile&) { g.DT = NAN; }, "DT = nan:"},
      {"DT infinite", [](Grid& g, Answers&, Profile&) { g.DT = INFINITY; }, "DT = inf:"},
      {"no layer", [](Grid&, Answers&, Profile& p) { p.NL = 0; }, "NL: layer count 0"},
      {"layers past LMAX", [](Grid&, Answers&, Profile& p) { p.NL = 51; }, "NL: layer count 51"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Grid g;
    g.NT = 64;
    g.DT = 0.01f;
    Answers a;
    Profile p = rock;
    c.spoil(g, a, p);
    for (int i = 0; i < 64; ++i) w.T[i] = 0.01f * static_cast<float>(i), w.A[i] = 1.0f;
    std::string report;
    try {
      EXPECT_TRUE(korvo::compute(w, g, p, a, false));
    } catch (const korvo::Error& e) {
      report = e.what();
    }
    if (c.named == nullptr) {
      EXPECT_EQ(report, "");
      continue;
    }
    EXPECT_EQ(report.rfind(c.named, 0), 0u) << report;
    EXPECT_EQ(report.find('\n'), std::string::npos) << report;
  }

  // The writers, given counts beyond the arrays, refuse before a file exists.
  const fs::path dir = scratch("entries");
  const std::string file = (dir / "out").string();
  Grid g;
  g.NOM = 3;
  g.DOM = 1.0f;
  auto refused = [&](const std::function<void()>& write, const std::string& named) {
    std::string report;
    try {
      write();
    } catch (const korvo::Error& e) {
      report = e.what();
    }
    EXPECT_NE(report.find(named), std::string::npos) << named << " in " << report;
    EXPECT_FALSE(fs::exists(file)) << named;
  };
  refused([&] { korvo::write_transfer_file(file.c_str(), w.AMP, g, 4); },
          ": last = 4 outside 0 to 3");
  g.NOM = korvo::NMAX + 1;
  refused([&] { korvo::write_spectrum_file(file.c_str(), w.X, g); }, ": NOM = 32769 outside");
  g.NT = korvo::NMAX + 1;
  refused([&] { korvo::write_history_file(file.c_str(), w.T, w.A, g); }, ": NT = 32769 outside");
  korvo::Sink sink;
  refused([&] { korvo::write_history(sink, w.T, w.A, 0, 2); }, ": first = 0 outside");
}
