#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "../support/e2e.h"
#include "motion/record.h"
#include "motion/spectra.h"

using namespace e2e;
using namespace korvo::spectra;
using korvo::Real;

namespace {

constexpr double PI_D = 3.14159265358979323846;

// Samples of f(t) at t = n dt, n = 0 .. count - 1.
template <class F>
std::vector<Real> sampled(F f, double dt, long count) {
  std::vector<Real> a;
  for (long n = 0; n < count; ++n) a.push_back(static_cast<Real>(f(static_cast<double>(n) * dt)));
  return a;
}

fs::path data(const char* name) { return source_dir() / "tests/data/tools" / name; }

Outcome run_spectra(const fs::path& dir, const std::string& args) {
  return run_in(dir, "'" KORVO_SPECTRA_BINARY "' " + args, "");
}

// The first line of a text, without its end.
std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string error_of(const std::string& text) {
  try {
    read_history(text, "h");
  } catch (const korvo::Error& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace

// The textbook closed forms of the piecewise-exact step (valid where they do
// not cancel), evaluated in long double, against the matrix-exponential route.
TEST(SpectraStep, MatchesClosedFormCoefficients) {
  const struct {
    double period, zeta, dt;
  } cases[] = {{0.5, 0.05, 0.01},
               {0.05, 0.2, 0.02},
               {2.0, 0.0, 0.005},
               {1.0, 0.7, 0.01},
               {0.01, 0.05, 0.005}};
  for (const auto& c : cases) {
    using L = long double;
    const L w = 2 * static_cast<L>(PI_D) / c.period, z = c.zeta, h = c.dt;
    const L q = std::sqrt(1 - z * z), wd = w * q, r = z / q;
    const L E = std::exp(-z * w * h), S = std::sin(wd * h), C = std::cos(wd * h);
    const L k1 = (2 * z * z - 1) / (w * w * h), k2 = 2 * z / (w * w * w * h);
    const L a11 = E * (r * S + C), a12 = E * S / wd, a21 = -w / q * E * S, a22 = E * (C - r * S);
    const L b11 = E * ((k1 + z / w) * S / wd + (k2 + 1 / (w * w)) * C) - k2;
    const L b12 = -E * (k1 * S / wd + k2 * C) - 1 / (w * w) + k2;
    const L b21 = E * ((k1 + z / w) * (C - r * S) - (k2 + 1 / (w * w)) * (wd * S + z * w * C)) +
                  1 / (w * w * h);
    const L b22 = -E * (k1 * (C - r * S) - k2 * (wd * S + z * w * C)) - 1 / (w * w * h);

    const auto s = detail::step_coefficients(c.period, c.zeta, c.dt);
    auto near = [&](double got, L want, L scale, const char* what) {
      EXPECT_NEAR(got, static_cast<double>(want), static_cast<double>(scale) * 1e-6)
          << what << " period " << c.period << " zeta " << c.zeta << " dt " << c.dt;
    };
    near(1.0 + static_cast<double>(s.c11), a11, 1, "a11");
    near(s.a12, a12, h, "a12");
    near(s.a21, a21, w * w * h, "a21");
    near(1.0 + static_cast<double>(s.c22), a22, 1, "a22");
    near(s.b11, b11, std::fabs(b11), "b11");
    near(s.b12, b12, std::fabs(b12), "b12");
    near(s.b21, b21, std::fabs(b21), "b21");
    near(s.b22, b22, std::fabs(b22), "b22");
  }
}

TEST(SpectraStep, LongPeriodKeepsItsStiffness) {
  // 1000 s at 1 ms: 1 - a11 = (w h)^2 / 2 = 1.97e-11, far below a float's step at 1.
  const auto s = detail::step_coefficients(1000.0, 0.05, 0.001);
  const double wh = 2.0 * PI_D / 1000.0 * 0.001;
  EXPECT_NEAR(-s.c11, wh * wh / 2.0, wh * wh * 1e-5);
  // b12 -> -h^2/6 and b11 -> -h^2/3 as the oscillator stops acting.
  EXPECT_NEAR(s.b12, -1e-6 / 6.0, 1e-12);
  EXPECT_NEAR(s.b11, -1e-6 / 3.0, 1e-12);
}

TEST(SpectraResponse, UndampedResonanceGrowsLinearly) {
  // u'' + w^2 u = -sin(w t) from rest: u = -(sin wt - wt cos wt) / (2 w^2), v = -t sin(wt) / 2.
  const double T = 1.0, w = 2.0 * PI_D / T, dt = 0.001;
  const auto a = sampled([&](double t) { return std::sin(w * t); }, dt, 10001);
  double sd = 0.0, sv = 0.0;
  for (long n = 0; n <= 10000; ++n) {
    const double t = static_cast<double>(n) * dt;
    sd = std::fmax(sd, std::fabs((std::sin(w * t) - w * t * std::cos(w * t)) / (2.0 * w * w)));
    sv = std::fmax(sv, std::fabs(t * std::sin(w * t) / 2.0));
  }
  const Response r = oscillator_peaks(a, static_cast<Real>(dt), static_cast<Real>(T), 0.0f);
  EXPECT_NEAR(r.sd, sd, sd * 1e-4);
  EXPECT_NEAR(r.sv, sv, sv * 1e-4);
  EXPECT_NEAR(r.psa, w * w * sd, w * w * sd * 1e-4);
}

TEST(SpectraResponse, DampedResonanceSettlesAtOneOverTwoZeta) {
  // At its own period the steady amplitude is A / (2 zeta w^2): PSA = A / (2 zeta).
  const struct {
    double period, zeta, dt;
  } cases[] = {{0.5, 0.05, 0.002}, {2.0, 0.1, 0.01}, {0.1, 0.02, 0.0005}};
  for (const auto& c : cases) {
    const double w = 2.0 * PI_D / c.period, A = 0.3;
    const long count = static_cast<long>(25.0 / (c.zeta * w) / c.dt);  // transient e^-25
    const auto a = sampled([&](double t) { return A * std::sin(w * t); }, c.dt, count);
    const Response r = oscillator_peaks(a, static_cast<Real>(c.dt), static_cast<Real>(c.period),
                                        static_cast<Real>(c.zeta));
    EXPECT_NEAR(r.psa, A / (2.0 * c.zeta), A / (2.0 * c.zeta) * 2e-3) << c.period;
    EXPECT_NEAR(r.sv, A / (2.0 * c.zeta * w), A / (2.0 * c.zeta * w) * 2e-3) << c.period;
  }
}

TEST(SpectraResponse, ShortPeriodGivesPeakAcceleration) {
  const double dt = 0.01;
  const auto a = sampled([](double t) { return 0.3 * std::sin(2.0 * PI_D * t); }, dt, 501);
  const GroundPeaks g = ground_peaks(a, static_cast<Real>(dt));
  EXPECT_EQ(g.pga, 0.3f);  // sampled at t = 0.25 s
  for (Real zeta : {0.0f, 0.05f, 0.2f}) {
    const Response r = oscillator_peaks(a, static_cast<Real>(dt), 0.001f, zeta);
    EXPECT_NEAR(r.psa, 0.3, 0.3 * 5e-4) << zeta;
  }
}

TEST(SpectraResponse, LongPeriodGivesPeakDisplacement) {
  // a = sin(W t) from rest: v = (1 - cos W t) / W, d = (t - sin(W t) / W) / W, both peaking
  // where shown: v at t = 0.5 s, d at the last sample.
  const double W = 2.0 * PI_D, dt = 0.001;
  const long count = 10000;
  const auto a = sampled([&](double t) { return std::sin(W * t); }, dt, count);
  const double t_end = static_cast<double>(count - 1) * dt;
  const double pgd = (t_end - std::sin(W * t_end) / W) / W, pgv = 2.0 / W;

  const GroundPeaks g = ground_peaks(a, static_cast<Real>(dt));
  EXPECT_NEAR(g.pgv, pgv, pgv * 1e-5);
  EXPECT_NEAR(g.pgd, pgd, pgd * 1e-5);
  const Response r = oscillator_peaks(a, static_cast<Real>(dt), 1.0e5f, 0.05f);
  EXPECT_NEAR(r.sd, pgd, pgd * 1e-4);
  EXPECT_NEAR(r.sv, pgv, pgv * 1e-4);
}

// Oscillators stepped side by side give each the bits it gets alone: two
// full blocks and a short one, undamped and damped, periods far below and
// above the step, on a record with a NaN-free but rough history.
TEST(SpectraResponse, ManyPeriodsAtOnceMatchOneByOne) {
  const auto a = sampled(
      [](double t) { return std::sin(7.0 * t) + 0.3 * std::sin(1e3 * t * t) - 0.2 * (t > 0.4); },
      0.005, 700);
  std::vector<Real> periods = log_periods(0.004f, 40.0f, 19);
  periods.push_back(periods.front());
  for (Real zeta : {0.0f, 0.05f, 0.6f}) {
    const std::vector<Response> many = oscillator_peaks(a, 0.005f, periods, zeta);
    ASSERT_EQ(many.size(), periods.size());
    for (std::size_t k = 0; k < periods.size(); ++k) {
      const Response one = oscillator_peaks(a, 0.005f, periods[k], zeta);
      EXPECT_EQ(many[k].period, one.period);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(many[k].sd), std::bit_cast<std::uint32_t>(one.sd));
      EXPECT_EQ(std::bit_cast<std::uint32_t>(many[k].sv), std::bit_cast<std::uint32_t>(one.sv));
      EXPECT_EQ(std::bit_cast<std::uint32_t>(many[k].psa), std::bit_cast<std::uint32_t>(one.psa));
    }
  }
}

// Transform plans are kept for a few lengths; a length met again after more
// than that gives the same spectrum as the first time.
TEST(SpectraOversample, KeptPlansGiveTheSameBits) {
  const auto a = sampled([](double t) { return std::sin(9.0 * t) * std::exp(-t); }, 0.01, 400);
  const std::vector<Real> first = oversample(a, 3);
  for (std::size_t n = 100; n < 2100; n += 50)
    oversample(sampled([](double t) { return t; }, 0.01, static_cast<long>(n)), 2);
  EXPECT_EQ(oversample(a, 3), first);
}

TEST(SpectraGrid, LogSpacedEnds) {
  const auto p = log_periods(0.01f, 10.0f, 100);
  ASSERT_EQ(p.size(), 100u);
  EXPECT_EQ(p.front(), 0.01f);
  EXPECT_EQ(p.back(), 10.0f);
  // 99 equal ratios spanning three decades: every 33rd period is a power of ten.
  EXPECT_NEAR(p[33], 0.1, 1e-7);
  EXPECT_NEAR(p[66], 1.0, 1e-6);
  EXPECT_NEAR(p[1] / p[0], std::pow(1000.0, 1.0 / 99.0), 1e-6);
  EXPECT_EQ(log_periods(0.5f, 2.0f, 1), std::vector<Real>{0.5f});
}

TEST(SpectraOversample, KeepsTheSamples) {
  // Noise has content up to the Nyquist line, whose share must be split, not doubled.
  std::vector<Real> a;
  unsigned state = 12345;
  for (int n = 0; n < 1001; ++n) {
    state = state * 1103515245u + 12345u;
    a.push_back(static_cast<Real>(state >> 8) / static_cast<Real>(1 << 24) - 0.5f);
  }
  for (int factor : {1, 2, 7}) {
    const auto fine = oversample(a, factor);
    ASSERT_EQ(fine.size(), (a.size() - 1) * static_cast<std::size_t>(factor) + 1);
    for (std::size_t n = 0; n < a.size(); ++n)
      ASSERT_NEAR(fine[n * static_cast<std::size_t>(factor)], a[n], 1e-6) << factor << " " << n;
  }
}

TEST(SpectraOversample, FollowsABandLimitedSignal) {
  // A Hann-windowed 9 Hz wave at 50 samples per second (5.6 samples a cycle),
  // near zero at both ends: between the samples the interpolation is the wave
  // itself; straight lines would miss by up to 15 % of its amplitude.
  const double dt = 0.02, length = 10.0;
  auto f = [&](double t) {
    const double w = std::sin(PI_D * t / length);
    return w * w * std::sin(2.0 * PI_D * 9.0 * t);
  };
  const auto fine = oversample(sampled(f, dt, 501), 8);
  double worst = 0.0;
  for (std::size_t n = 0; n < fine.size(); ++n)
    worst = std::fmax(
        worst, std::fabs(static_cast<double>(fine[n]) - f(static_cast<double>(n) * dt / 8.0)));
  EXPECT_LT(worst, 1e-5);
}

TEST(SpectraOversample, FactorGivesTwentyStepsAtTheShortestPeriod) {
  const struct {
    Real dt, shortest;
    int factor;
  } cases[] = {
      {0.01f, 0.01f, 20}, {0.005f, 0.01f, 10}, {0.02f, 0.04f, 10},  {0.01f, 0.15f, 2},
      {0.01f, 0.2f, 1},   {0.01f, 0.5f, 1},    {0.01f, 0.001f, 64},
  };
  for (const auto& c : cases)
    EXPECT_EQ(oversample_factor(c.dt, c.shortest), c.factor) << c.dt << " " << c.shortest;
}

// PSA at short periods against 32x band-limited oversampling, from twice the
// sample interval up, on the older El Centro digitization (dt 0.02 s).
TEST(SpectraOversample, ShortPeriodsWithinOnePercentOnARealRecord) {
  const auto rec = korvo::record::read_at2(slurp(data("elCentro.AT2")), "elCentro.AT2");
  const Real dt = static_cast<Real>(rec.dt);
  for (Real tmin : {0.01f, 2.0f * dt}) {
    const auto periods = log_periods(tmin, 10.0f, 100);
    const Spectrum ref = response_spectrum(rec.a, dt, periods, 0.05f, 32);
    const Spectrum def = response_spectrum(rec.a, dt, periods, 0.05f);
    const Spectrum raw = response_spectrum(rec.a, dt, periods, 0.05f, 1);
    double worst_default = 0.0, worst_raw = 0.0;
    for (std::size_t k = 0; k < periods.size(); ++k) {
      if (periods[k] < 2.0f * dt) continue;
      const double want = ref.rows[k].psa;
      worst_default = std::fmax(worst_default, std::fabs(def.rows[k].psa / want - 1.0));
      worst_raw = std::fmax(worst_raw, std::fabs(raw.rows[k].psa / want - 1.0));
    }
    EXPECT_LT(worst_default, 0.01) << "tmin " << tmin;
    EXPECT_GT(worst_raw, 0.1) << "tmin " << tmin;  // the samples alone: about 35 % low
  }
}

TEST(SpectraInput, ReadsKorvoResults) {
  const History h = read_history(slurp(data("basic_h_input.korvo_dat")), "korvo_dat");
  ASSERT_EQ(h.a.size(), 1000u);
  EXPECT_NEAR(h.dt, 0.01f, 1e-9f);
  EXPECT_EQ(h.a[0], .2411E-03f);
  EXPECT_EQ(h.a[1], .3776E-03f);
}

TEST(SpectraInput, FortranNumbers) {
  // korvo's own reader: a bare exponent sign, D exponents, underflow to a signed zero.
  const History h = read_history("0 1.5+3\n.1D-1 -1E-50\n2.E-2 2d0\n", "h");
  ASSERT_EQ(h.a.size(), 3u);
  EXPECT_EQ(h.a[0], 1500.0f);
  EXPECT_TRUE(h.a[1] == 0.0f && std::signbit(h.a[1]));
  EXPECT_EQ(h.a[2], 2.0f);
  EXPECT_NEAR(h.dt, 0.01f, 1e-9f);
}

TEST(SpectraInput, GridAndFieldFaults) {
  const struct {
    std::string text;
    const char* expect;
  } cases[] = {
      {"0 1\n.01 1\n.02 1\n.04 1\n.05 1\n.06 1\n.07 1\n.08 1\n.09 1\n.10 1\n",
       "h, line 4: time 0.04 breaks the even spacing"},
      {"0 1\n0.02 2\n0.01 3\n0.03 4\n",
       "h, line 2: time 0.02 breaks the even spacing (step 0.01 s)"},
      {"0 1\n0.01 2\n   .020************\n", "h, line 3: expected a time and a value"},
      {"0 1\n0.01 ************\n", "h, line 2: \"************\" is not a number"},
      {"0 1\n0.01\n", "h, line 2: expected a time and a value"},
      {"# only\n0 1\n", "h, line 2: a history needs at least two samples"},
      {"1 1\n0 2\n", "h, line 2: the times do not increase"},
      {"0 1\n0.01 1e39\n", "h, line 2: \"1e39\" is too large for single precision"},
      // A header row is names only, and only before the first numbers.
      {"time_s,accel_g\n0,1\ntime_s,accel_g\n", "h, line 3: \"time_s\" is not a time"},
      {"time_s,accel_g\nt,a\n0,1\n0.01,1\n", "h, line 2: \"t\" is not a time"},
      {"time_s\n0 1\n0.01 1\n", "h, line 1: expected a time and a value"},
      {"t 0.5\n0 1\n0.01 1\n", "h, line 1: \"t\" is not a time"},
  };
  for (const auto& c : cases)
    EXPECT_NE(error_of(c.text).find(c.expect), std::string::npos)
        << c.expect << "\n  gave: " << error_of(c.text);

  // Three decimals cannot show a 2.5 ms step exactly; half a unit of them is allowed.
  const History h = read_history("# c\n0.000 1 9\n\n0.003 2\n0.005 3\n0.008 4\n0.010 5\r\n", "h");
  EXPECT_EQ(h.a.size(), 5u);
  EXPECT_NEAR(h.dt, 0.0025f, 1e-9f);
  EXPECT_NEAR(read_history("0 1\n7 2\n", "h", 0.5).dt, 0.5f, 0.0f);
  const History csv = read_history("# c\ntime_s,accel_cm_s2\r\n0.00,1\n0.01,2\n", "h");
  EXPECT_EQ(csv.a, (std::vector<Real>{1.0f, 2.0f}));
  EXPECT_EQ(csv.column, "accel_cm_s2");
}

TEST(SpectraSpeed, FullLengthRecordAtHundredPeriods) {
  const auto a =
      sampled([](double t) { return std::sin(7.0 * t) + 0.5 * std::cos(31.0 * t); }, 0.005, 32768);
  const auto periods = log_periods(0.01f, 10.0f, 100);
  const auto start = std::chrono::steady_clock::now();
  Real sum = 0.0f;
  for (const Response& r : oscillator_peaks(a, 0.005f, periods, 0.05f)) sum += r.psa;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("32768 samples x 100 periods: %.4f s\n", seconds);
  EXPECT_GT(sum, 0.0f);
  EXPECT_LT(seconds, 1.0);  // target 0.1 s in a release build; loose for shared or debug runs
}

TEST(SpectraCommand, WritesTheSpectraFile) {
  const fs::path dir = scratch("writes_the_spectra_file");
  const std::string hist = "'" KORVO_SOURCE_DIR "/tests/data/tools/basic_h_input.korvo_dat'";
  ASSERT_EQ(run_spectra(dir, hist + " --count 50 --damping 0.02").status, 0);
  const std::vector<std::string> lines = lines_of(slurp(dir / "spectra.csv"));
  ASSERT_EQ(lines.size(), 1u + 50u);
  EXPECT_EQ(lines[0], "period_s,psa_g,sv_cm_s,sd_cm");
  const std::string note = slurp(dir / "spectra.csv.note");
  EXPECT_NE(note.find("samples: 1000\ndt: 0.01 s\ndamping: 0.02\n"), std::string::npos) << note;
  EXPECT_NE(note.find("PGV: "), std::string::npos);
  double period = 0.0, last = 0.0;
  for (std::size_t k = 1; k < lines.size(); ++k, last = period) {
    std::istringstream(lines[k]) >> period;
    EXPECT_GT(period, last);
  }
  EXPECT_NEAR(last, 10.0, 1e-6);

  EXPECT_EQ(run_spectra(dir, "missing_dat").status, 1);
  EXPECT_EQ(run_spectra(dir, hist + " --damping 1").status, 2);
  EXPECT_EQ(run_spectra(dir, hist + " --tmin 2 --tmax 1").status, 2);
}

// Velocities and displacements in cm/s and cm whatever the acceleration's
// unit. Oracle: a constant 0.1 g over 1 s from rest reaches v = 0.1 * 980.665
// cm/s and d = v / 2 cm (the ground's integrals are exact for straight lines).
// The unit comes from --unit, else from a CSV header row, else g.
TEST(SpectraCommand, PeaksInVelocityUnits) {
  const fs::path dir = scratch("peaks_in_velocity_units");
  std::string g = "time_s,accel_g\n", cm = "time_s,accel_cm_s2\n", bare, named = "t,a\n";
  for (int i = 0; i <= 100; ++i) {
    const std::string t = std::to_string(i * 0.01);
    g += t + ",0.1\n";
    cm += t + ",98.0665\n";
    bare += t + " 0.1\n";
    named += t + ",0.1\n";
  }
  spit(dir / "g.csv", g);
  spit(dir / "cm.csv", cm);
  spit(dir / "bare", bare);
  spit(dir / "named.csv", named);
  const struct {
    const char* args;
    const char* psa;  // the header's acceleration column
    double factor;    // the scaling asked for
  } cases[] = {
      {"g.csv", "psa_g", 1.0},
      {"cm.csv", "psa_cm_s2", 1.0},
      {"bare", "psa_g", 1.0},
      {"bare --unit m/s^2", "psa_m_s2", 1.0},
      {"named.csv --unit g", "psa_g", 1.0},
      {"g.csv --scale 2", "psa_g", 2.0},
      {"g.csv --scale-pga 0.25g", "psa_g", 2.5},
      {"cm.csv --scale-pga 0.05g", "psa_cm_s2", 0.5},
      {"g.csv --damping-pct 5", "psa_g", 1.0},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(run_spectra(dir, std::string(c.args) + " --count 3 -o s.csv").status, 0) << c.args;
    EXPECT_EQ(first_line(slurp(dir / "s.csv")), std::string("period_s,") + c.psa + ",sv_cm_s,sd_cm")
        << c.args;
    const std::string note = slurp(dir / "s.csv.note");
    double v = 0.0, d = 0.0;
    std::istringstream(note.substr(note.find("PGV: ") + 5)) >> v;
    std::istringstream(note.substr(note.find("PGD: ") + 5)) >> d;
    const double want =
        c.factor * (std::string(c.args).find("m/s^2") != std::string::npos ? 10.0 : 98.0665);
    EXPECT_NEAR(v, want, 1e-5 * want) << c.args << "\n" << note;
    EXPECT_NEAR(d, want / 2.0, 1e-5 * want) << c.args << "\n" << note;
  }
  // A header naming a column whose unit cannot be told, without --unit: refused.
  const Outcome r = run_spectra(dir, "named.csv -o s.csv");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(first_line(r.err),
            "korvo-spectra: named.csv: the header names the values \"a\", not accel_<unit>: give "
            "--unit");
}

TEST(SpectraCommand, CommandLine) {
  const fs::path dir = scratch("command_line");
  spit(dir / "h", "0 0\n0.01 1\n0.02 0\n0.03 -1\n");
  spit(dir / "huge", "0 3e38\n0.01 -3e38\n0.02 3e38\n0.03 -3e38\n");
  const struct {
    const char* args;
    int status;
    const char* report;  // first line on stderr
  } cases[] = {
      {"", 2, "korvo-spectra: no history named"},
      {"h --tmin", 2, "korvo-spectra: --tmin needs a value"},
      {"h --tmin 1e", 2, "korvo-spectra: --tmin needs a number, not '1e'"},
      {"h --count 2.5", 2, "korvo-spectra: --count needs a whole number from 1 to 100000"},
      {"h --damping 1", 2, "korvo-spectra: --damping must lie in [0, 1)"},
      {"h --dt 0", 2, "korvo-spectra: --dt must be positive"},
      {"h --damping 0.1 --damping-pct 5", 2,
       "korvo-spectra: --damping and --damping-pct both set the damping"},
      {"h --damping-pct 100", 2, "korvo-spectra: --damping-pct must lie in [0, 100)"},
      {"h --scale 2 --scale-pga 1", 2,
       "korvo-spectra: --scale and --scale-pga both scale the history: give one"},
      {"h --scale 0", 2, "korvo-spectra: --scale needs a finite, non-zero factor, not '0'"},
      {"h --tmin 2 --tmax 1", 2, "korvo-spectra: periods need 0 < tmin <= tmax"},
      {"h --count 3 --tmin 1 --tmax 1", 2, "korvo-spectra: several periods need tmin < tmax"},
      {"h --bogus", 2, "korvo-spectra: unknown option --bogus"},
      {"h h", 2, "korvo-spectra: one history at a time"},
      {"nosuch", 1, "korvo-spectra: cannot open nosuch: No such file or directory"},
      {".", 1, "korvo-spectra: cannot read .: Is a directory"},
      {"h -o no/s", 1, "korvo-spectra: cannot write no/s: No such file or directory"},
      {"huge -o never", 1,
       "korvo-spectra: huge: the response at period 0.01 s is beyond single precision"},
      {"h --count=1e1 --tmin=1.5-2 --damping 0.1 --damping=0.02 -o s", 0, ""},
  };
  for (const auto& c : cases) {
    const Outcome r = run_spectra(dir, c.args);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_EQ(first_line(r.err), c.report) << c.args;
  }
  // Fortran-style numbers; the last of a repeated option wins.
  // h's triangles integrate to a peak v of 0.01 g s and a final d of 1.1/6000 g s^2.
  const std::string note = slurp(dir / "s.note");
  EXPECT_EQ(note.substr(0, note.find("PGV: ")),
            "source: h\nsamples: 4\ndt: 0.01 s\ndamping: 0.02\noversampling: oversampled 14x\n"
            "unit: g\nPGA: 1.000000e+00 g\n");
  double v = 0.0, d = 0.0;
  std::istringstream(note.substr(note.find("PGV: ") + 5)) >> v;
  std::istringstream(note.substr(note.find("PGD: ") + 5)) >> d;
  EXPECT_NEAR(v, 0.01 * 980.665, 1e-5);
  EXPECT_NEAR(d, 1.1 / 6000.0 * 980.665, 1e-6);
  const std::vector<std::string> lines = lines_of(slurp(dir / "s"));
  ASSERT_EQ(lines.size(), 1u + 10u);
  EXPECT_EQ(lines[1].substr(0, 13), "1.500000e-02,");
  const Outcome help = run_spectra(dir, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(first_line(help.out), "usage: korvo-spectra [options] HISTORY");
}
