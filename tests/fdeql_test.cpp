// Frequency-dependent equivalent-linear response against the record engine:
// with one strain for every frequency it is the equivalent-linear method, and
// with the small-strain properties its transfer function is the engine's.
#include "column/fdeql.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "motion/record.h"

using namespace korvo::column;

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

double peak(const std::vector<double>& a) {
  double p = 0.0;
  for (double x : a) p = std::max(p, std::fabs(x));
  return p;
}

struct Case {
  Column column;
  std::vector<Sublayer> subs;
  Motion motion;
};

// The 30 m clay under El Centro at 0.3 g: strains near 0.1 %, where the
// curves bend.
Case clay() {
  const std::string dir = std::string(KORVO_SOURCE_DIR) + "/examples/eql/";
  Case c{read_column(slurp(dir + "clay30.toml"), "clay30.toml"), {}, {}};
  c.subs = divide(c.column, 25.0);
  auto pairs = korvo::record::read_pairs<double>(slurp(dir + "elc180.txt"), "elc180.txt");
  c.motion.a = std::move(pairs.a);
  c.motion.dt = pairs.dt;
  const double p = peak(c.motion.a);
  for (double& a : c.motion.a) a *= 0.3 / p;
  c.motion.to_si = GRAVITY;
  return c;
}

}  // namespace

TEST(FdEql, FlatSmoothingIsTheEquivalentLinearMethod) {
  const Case c = clay();
  for (const InputKind input : {InputKind::Outcrop, InputKind::Within}) {
    FdOptions fo;
    fo.smoothing = Smoothing::Flat;
    fo.column.tol = 1e-10;
    fo.column.max_iter = 400;
    fo.column.input = input;
    const FdResult fd = fd_eql(c.subs, c.column.halfspace, c.motion, fo);
    ASSERT_TRUE(fd.converged);

    Options o = fo.column;
    o.accelerate = false;
    Analysis eql(c.subs, c.column.halfspace, c.motion, o);
    const Result r = eql.run();
    ASSERT_TRUE(r.converged);
    for (std::size_t m = 0; m < c.subs.size(); ++m) {
      EXPECT_NEAR(fd.strain_peak[m], r.strain_peak[m], 1e-7 * r.strain_peak[m]) << m;
      for (std::size_t i = 0; i < fd.frequency.size(); i += 97) {
        EXPECT_NEAR(fd.props[m][i].g_ratio, r.props[m].g_ratio, 1e-7) << m;
        EXPECT_NEAR(fd.props[m][i].damping, r.props[m].damping, 1e-7) << m;
      }
    }
    for (std::size_t m = 0; m < c.subs.size(); ++m) {
      EXPECT_NEAR(fd.stress_peak[m], r.stress_peak[m], 1e-6 * r.stress_peak[m]) << m;
      EXPECT_NEAR(fd.pga_top[m], r.pga_top[m], 1e-6 * r.pga_top[m]) << m;
    }
    for (const double z : {0.0, 7.3, 12.0, 31.0}) {
      const std::vector<double> pairs[][2] = {
          {fd_acceleration_at(fd, c.subs, z), eql.acceleration_at(z)},
          {fd_strain_at(fd, c.subs, z), eql.strain_at(z)},
          {fd_stress_at(fd, c.subs, z), eql.stress_at(z)}};
      for (const auto& p : pairs)
        for (std::size_t t = 0; t < p[0].size(); t += 7)
          ASSERT_NEAR(p[0][t], p[1][t], 1e-6 * peak(p[1]) + 1e-300) << z;
    }
    const std::vector<double> s = eql.surface();
    ASSERT_EQ(fd.surface.size(), s.size());
    for (std::size_t t = 0; t < s.size(); ++t)
      ASSERT_NEAR(fd.surface[t], s[t], 1e-7 * peak(s)) << t;
  }
}

TEST(FdEql, SmallerStrainsAboveTheMeanFrequency) {
  const Case c = clay();
  FdOptions ka, flat;
  flat.smoothing = Smoothing::Flat;
  const FdResult k = fd_eql(c.subs, c.column.halfspace, c.motion, ka);
  const FdResult f = fd_eql(c.subs, c.column.halfspace, c.motion, flat);
  ASSERT_TRUE(k.converged);
  for (std::size_t m = 0; m < c.subs.size(); ++m) {
    ASSERT_GT(k.exponent[m], 0.0) << m;
    // Up to the mean frequency a sublayer has the curves' values at its
    // effective strain; beyond it stiffer and less damped, ever more so.
    const Props low = soil_props(c.subs[m].soil, k.strain_eff[m]);
    double g = 0.0, d = 1.0;
    for (std::size_t i = 1; i < k.frequency.size(); ++i) {
      const Props& p = k.props[m][i];
      if (k.frequency[i] <= k.f_mean[m]) {
        EXPECT_NEAR(p.g_ratio, low.g_ratio, 1e-3) << m;
        EXPECT_NEAR(p.damping, low.damping, 1e-3) << m;
      } else {
        EXPECT_GE(p.g_ratio, g) << m << " at " << k.frequency[i];
        EXPECT_LE(p.damping, d) << m << " at " << k.frequency[i];
      }
      g = p.g_ratio;
      d = p.damping;
    }
  }
  // Less damping at high frequency passes more of them to the surface.
  const auto high = [](const FdResult& r) {
    double sum = 0.0;
    for (std::size_t i = 0; i < r.frequency.size(); ++i)
      if (r.frequency[i] > 8.0 && r.frequency[i] < 20.0) sum += std::abs(r.transfer[i]);
    return sum;
  };
  EXPECT_GT(high(k), 1.2 * high(f));
}

TEST(FdEql, SmallStrainTransferIsTheEngines) {
  Case c = clay();
  for (double& a : c.motion.a) a *= 1e-4;
  FdOptions fo;
  fo.column.method = Method::Linear;
  for (const ComplexModulus model :
       {ComplexModulus::Velocity, ComplexModulus::Simple, ComplexModulus::UnitModulus}) {
    fo.column.modulus = model;
    const FdResult fd = fd_eql(c.subs, c.column.halfspace, c.motion, fo);
    Analysis a(c.subs, c.column.halfspace, c.motion, fo.column);
    a.run();
    const auto h = a.transfer();
    ASSERT_EQ(h.size(), fd.transfer.size());
    for (std::size_t i = 0; i < h.size(); ++i)
      ASSERT_LT(std::abs(fd.transfer[i] - h[i]), 1e-10 * std::max(1.0, std::abs(h[i]))) << i;
  }
}
