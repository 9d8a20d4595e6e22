// The strain-compatible iteration: its fixed point against one found
// independently, the accelerated and the plain iteration against each other,
// and the stopping rule against the fixed point itself.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "column/column.h"
#include "motion/record.h"

using namespace korvo::column;
using Cl = std::complex<long double>;

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Largest relative distance of G/Gmax and damping between two states.
double distance(const std::vector<Props>& a, const std::vector<Props>& b) {
  double d = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    d = std::max(d, std::fabs(a[i].g_ratio - b[i].g_ratio) / b[i].g_ratio);
    d = std::max(d, std::fabs(a[i].damping - b[i].damping) / b[i].damping);
  }
  return d;
}

const char* ONE_LAYER = R"(water_table = 50.0
[curves.soft]
modulus = [[0.001, 1.0], [0.01, 0.9], [0.1, 0.5], [1.0, 0.15]]
damping = [[0.001, 1.0], [0.01, 3.0], [0.1, 10.0], [1.0, 20.0]]
[[layer]]
name = "soft"
thickness = 20.0
unit_weight = 18.0
vs = 150.0
model = "soft"
sublayers = 1
[halfspace]
unit_weight = 22.0
vs = 600.0
damping_pct = 2.0
)";

// The same table, read by hand: linear in log-strain, held at the ends.
long double table(const std::vector<long double>& x, const std::vector<long double>& y,
                  long double s) {
  if (s <= x.front()) return y.front();
  if (s >= x.back()) return y.back();
  std::size_t i = 1;
  while (x[i] < s) ++i;
  const long double t = std::log(s / x[i - 1]) / std::log(x[i] / x[i - 1]);
  return y[i - 1] + t * (y[i] - y[i - 1]);
}

}  // namespace

// One layer, one sublayer, a cosine on a bin of the transform (no padding,
// so the response is exactly the steady state): the peak strain at
// mid-depth is amp |H| max_n |cos(w t_n + arg H)| with
// H = k sin(k H/2) / (w^2 (cos kH + i alpha sin kH)). The effective strain
// solves gamma = 0.65 peak(G(gamma), D(gamma)), a scalar equation bisected
// here; the iteration must land on it.
TEST(ColumnIteration, OneLayerFixedPointMatchesBisection) {
  const Column profile = read_column(ONE_LAYER, "one.toml");
  const auto subs = divide(profile, 25.0);
  ASSERT_EQ(subs.size(), 1u);
  const int n = 4096, bin = 20;
  const double dt = 0.01, amp = 2.0;  // m/s^2
  const long double w = 2 * 3.141592653589793238L * bin / (n * dt);
  Motion m;
  m.dt = dt;
  for (int i = 0; i < n; ++i)
    m.a.push_back(amp * std::cos(static_cast<double>(w * static_cast<long double>(i) * dt)));

  const std::vector<long double> xs = {0.001L, 0.01L, 0.1L, 1.0L};
  const std::vector<long double> gs = {1.0L, 0.9L, 0.5L, 0.15L};
  const std::vector<long double> ds = {0.01L, 0.03L, 0.10L, 0.20L};
  const long double rho = 18 / 9.80665L, rho_r = 22 / 9.80665L;
  const Cl Vr = 600.0L * Cl(1, 0.02L);
  auto peak = [&](long double gamma) {  // % strain for the properties at gamma
    const long double g = table(xs, gs, gamma), d = table(xs, ds, gamma);
    const Cl V = 150.0L * std::sqrt(g) * Cl(1, d);
    const Cl k = w / V, alpha = rho * V / (rho_r * Vr);
    const Cl H = k * std::sin(k * 10.0L) /
                 (w * w * (std::cos(k * 20.0L) + Cl(0, 1) * alpha * std::sin(k * 20.0L)));
    long double p = 0;
    for (int i = 0; i < n; ++i)
      p = std::max(p, std::fabs(amp * std::abs(H) * std::cos(w * i * dt + std::arg(H))));
    return 100 * p;
  };
  auto excess = [&](long double gamma) { return gamma - 0.65L * peak(gamma); };
  // One root only over the whole range of strains.
  int changes = 0;
  for (long double s = 1e-5L; s < 10.0L; s *= 1.2L)
    if ((excess(s) < 0) != (excess(s * 1.2L) < 0)) ++changes;
  ASSERT_EQ(changes, 1);
  long double lo = 1e-5L, hi = 10.0L;
  for (int i = 0; i < 200; ++i) {
    const long double mid = std::sqrt(lo * hi);
    (excess(mid) < 0 ? lo : hi) = mid;
  }
  const long double root = std::sqrt(lo * hi);
  ASSERT_GT(root, 0.01L);  // on the curves, not held at an end
  const Props want{static_cast<double>(table(xs, gs, root)),
                   static_cast<double>(table(xs, ds, root))};

  for (bool accelerate : {true, false}) {
    Options opt;
    opt.pad = 0.0;
    opt.accelerate = accelerate;
    opt.tol = 1e-10;
    opt.max_iter = 500;
    Analysis analysis(subs, profile.halfspace, m, opt);
    ASSERT_EQ(analysis.transform_length(), n);
    const Result& r = analysis.run();
    ASSERT_TRUE(r.converged);
    EXPECT_NEAR(r.strain_eff[0], static_cast<double>(root), 1e-8 * static_cast<double>(root));
    EXPECT_LT(distance(r.props, {want}), 1e-8);

    opt.tol = 1e-3;
    Analysis quick(subs, profile.halfspace, m, opt);
    const Result& q = quick.run();
    ASSERT_TRUE(q.converged);
    EXPECT_LT(distance(q.props, {want}), 1e-3) << "accelerate " << accelerate;
  }
}

// The example columns: 30 m of Darendeli clay under El Centro at 0.3 g, where
// plain iteration contracts slowly, and 100 m of tabulated sands and clays
// (50 sublayers) under Reston at 0.25 g. Anderson mixing must reach the
// fixed point of plain iteration run to a tight tolerance, and the default
// stopping rule must leave every sublayer's G/Gmax and damping within 0.1 %
// of it.
TEST(ColumnIteration, AcceleratedAndPlainShareTheFixedPoint) {
  const std::string dir = std::string(KORVO_SOURCE_DIR) + "/examples/eql/";
  const struct {
    const char *profile, *record;
    double to_si, pga;  // record unit in m/s^2; peak in that unit
    bool slow;          // plain iteration contracts slowly here
  } cases[] = {{"clay30.toml", "elc180.txt", GRAVITY, 0.3, true},
               {"layered100.toml", "reston360.txt", 0.01, 0.25 * GRAVITY / 0.01, false}};
  for (const auto& c : cases) {
    const Column profile = read_column(slurp(dir + c.profile), c.profile);
    const auto subs = divide(profile, 25.0);
    auto pairs = korvo::record::read_pairs<double>(slurp(dir + c.record), c.record);
    Motion m;
    m.a = std::move(pairs.a);
    m.dt = pairs.dt;
    double pga = 0.0;
    for (double a : m.a) pga = std::max(pga, std::fabs(a));
    for (double& a : m.a) a *= c.pga / pga;
    m.to_si = c.to_si;

    auto solve = [&](bool accelerate, double tol) {
      Options opt;
      opt.accelerate = accelerate;
      opt.tol = tol;
      opt.max_iter = 400;
      Analysis analysis(subs, profile.halfspace, m, opt);
      const Result r = analysis.run();
      EXPECT_TRUE(r.converged) << c.profile << " accelerate " << accelerate << " tol " << tol;
      return r;
    };
    const Result plain = solve(false, 1e-11);
    const Result tight = solve(true, 1e-11);
    const Result quick = solve(true, 1e-3);
    const Result plain_quick = solve(false, 1e-3);
    EXPECT_LT(distance(tight.props, plain.props), 1e-9) << c.profile;
    EXPECT_LT(distance(quick.props, plain.props), 1e-3) << c.profile;
    EXPECT_LT(distance(plain_quick.props, plain.props), 1e-3) << c.profile;
    if (c.slow) {
      // The point of the mixing: fewer responses for the same answer.
      EXPECT_LT(quick.iterations, plain_quick.iterations);
      EXPECT_LT(tight.iterations, plain.iterations);
    }
  }
}

// The mixing starts afresh when the residual grows: the next iterate is then
// the plain image, where without the restart it would be the secant step on
// the last two pairs. A scripted response (log effective strains y1, y2, y3
// for the first three calls) and one tabulated sublayer whose G/Gmax, linear
// in log-strain, shows the iterate the fourth call is given.
TEST(ColumnIteration, MixingRestartsWhenTheResidualGrows) {
  CurveSet set{"line", {{1e-4, 10.0}, {1.0, 0.1}}, {{1e-4, 10.0}, {0.02, 0.02}}};
  Soil soil;
  soil.model = Model::Table;
  soil.set = &set;
  const double y1 = std::log(0.01), y2 = std::log(0.02);
  const double f2 = y2 - y1;  // the residual at x2 = y1
  struct {
    double y3;
    bool restart;
  } cases[] = {{std::log(0.1), true}, {std::log(0.03), false}};
  for (const auto& c : cases) {
    const double f3 = c.y3 - y2;  // the residual at x3 = y2
    ASSERT_EQ(std::fabs(f3) > std::fabs(f2), c.restart);
    // The secant root of the residual through (y1, f2) and (y2, f3).
    const double want = c.restart ? c.y3 : y2 - (y2 - y1) * f3 / (f3 - f2);
    Options opt;
    opt.max_iter = 4;
    int calls = 0;
    double fourth = 0.0;
    const auto response = [&](const std::vector<Props>& P) {
      const double y[] = {y1, y2, c.y3, y2};
      // G/Gmax = 1 - 0.9 log10(strain / 1e-4) / 5 read back as a log-strain.
      if (++calls == 4) fourth = std::log(1e-4) + (1.0 - P[0].g_ratio) / 0.9 * std::log(1e5);
      return std::vector<double>{std::exp(y[std::min(calls, 4) - 1]) / opt.strain_ratio};
    };
    iterate({soil}, opt, response);
    ASSERT_EQ(calls, 4);
    EXPECT_NEAR(fourth, want, 1e-9) << "restart " << c.restart;
  }
}

// Darendeli's model at points worked by hand: G/Gmax = 1/2 at the reference
// strain for any curvature; for a = 1 the Masing term there is
// (100/pi) (8 (1 - ln 2) - 2) % scaled by 0.9998 = c1(1), and
// b (1/2)^0.1 times that plus the small-strain damping.
TEST(ColumnIteration, DarendeliAtTheReferenceStrain) {
  for (double a : {0.8, 0.919, 1.2}) EXPECT_DOUBLE_EQ(darendeli(0.05, 0.05, a, 1, 0).g_ratio, 0.5);
  const double masing = 100.0 / PI_D * (8.0 * (1.0 - std::log(2.0)) - 2.0) * 0.9998;
  const Props p = darendeli(0.04, 0.04, 1.0, 0.7, 0.012);
  EXPECT_NEAR(p.damping, 0.7 * std::pow(0.5, 0.1) * masing / 100.0 + 0.012, 1e-12);
  // Far below the reference strain the Masing term is (100/pi)(2x/3) %,
  // x = gamma/gamma_r, times c1(a) = -1.1143 a^2 + 1.8618 a + 0.2523.
  const double x = 1e-7 / 0.04, c1 = -1.1143 * 0.919 * 0.919 + 1.8618 * 0.919 + 0.2523;
  const double small = 0.63 * c1 * 100.0 / PI_D * (2.0 * x / 3.0) / 100.0;
  EXPECT_NEAR(darendeli(1e-7, 0.04, 0.919, 0.63, 0.011).damping - 0.011, small, 1e-5 * small);
  // The small-strain series and the closed form meet at x = 0.05.
  const double below = darendeli(0.04 * (0.05 - 1e-14), 0.04, 0.919, 0.63, 0.0).damping;
  const double above = darendeli(0.04 * (0.05 + 1e-14), 0.04, 0.919, 0.63, 0.0).damping;
  EXPECT_NEAR(below, above, 1e-12 * above);
}

// The published coefficients in place: at a mean effective stress of
// exactly 1 atm (dry, K0 = 1, 101.325 kPa at mid-depth) the reference
// strain is phi1 + phi2 PI OCR^phi3 and the small-strain damping
// (phi6 + phi7 PI OCR^phi8)(1 + phi10 ln f); at 4 atm below the water table
// the stress terms are 4^phi4 and 4^phi9.
TEST(ColumnIteration, DarendeliCoefficientsAndStress) {
  const char* dry = R"(water_table = 100.0
[[layer]]
name = "one atmosphere"
thickness = 10.0
unit_weight = 20.265
vs = 200.0
model = "darendeli"
plasticity_index = 20
ocr = 2
k0 = 1.0
frequency = 2.0
cycles = 10
sublayers = 1
[halfspace]
unit_weight = 22.0
vs = 800.0
damping_pct = 1.0
)";
  const auto subs = divide(read_column(dry, "dry.toml"), 25.0);
  ASSERT_EQ(subs.size(), 1u);
  EXPECT_NEAR(subs[0].sigma_m, 101.325, 1e-9);
  const Soil& s = subs[0].soil;
  EXPECT_NEAR(s.gamma_r, 0.0352 + 0.0010 * 20 * std::pow(2.0, 0.3246), 1e-12);
  EXPECT_NEAR(s.a, 0.9190, 1e-12);
  EXPECT_NEAR(s.b, 0.6329 - 0.0057 * std::log(10.0), 1e-12);
  EXPECT_NEAR(s.dmin,
              (0.8005 + 0.0129 * 20 * std::pow(2.0, -0.1069)) * (1 + 0.2919 * std::log(2.0)) / 100,
              1e-12);

  // Saturated from the surface, K0 = 0.5: sigma'_m = (gamma - gamma_w) z (1 + 2 K0) / 3.
  // gamma - gamma_w = 20.265 * 3 / 2 puts sigma'_m at 4 atm at z = 10 m.
  const double buoyant = 20.265 * 3.0 / 2.0 * 4.0 / 2.0;
  const std::string wet = std::string(R"(water_table = 0.0
[[layer]]
name = "four atmospheres"
thickness = 20.0
unit_weight = )") + std::to_string(buoyant + WATER_UNIT_WEIGHT) +
                          R"(
vs = 200.0
model = "darendeli"
plasticity_index = 0
ocr = 1
k0 = 0.5
sublayers = 1
[halfspace]
unit_weight = 22.0
vs = 800.0
damping_pct = 1.0
)";
  const auto deep = divide(read_column(wet, "wet.toml"), 25.0);
  EXPECT_NEAR(deep[0].sigma_m, 4 * 101.325, 1e-6);
  EXPECT_NEAR(deep[0].soil.gamma_r, 0.0352 * std::pow(4.0, 0.3483), 1e-9);
  EXPECT_NEAR(deep[0].soil.dmin, 0.8005 * std::pow(4.0, -0.2889) / 100, 1e-9);
}
