// The amplification: the spectrum times a transfer function and the
// travel-time phase factor exp(i OM sum TH/VS), on every instruction set and
// with the lines shared among cores.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "site/site.h"
#include "support/simd.h"

using namespace korvo;

namespace {

using support::every_simd;

Profile column(std::initializer_list<Real> TH, std::initializer_list<Real> VS) {
  Profile p;
  p.NL = static_cast<Integer>(TH.size());
  Integer k = 0;
  for (Real t : TH) p.TH[k++] = t;
  k = 0;
  for (Real v : VS) p.VS[k++] = v;
  return p;
}

struct Spectrum {
  std::vector<Complex> X, AMP;
  std::vector<Real> A, B;
};

// A spectrum and a transfer function of every size and sign.
Spectrum spectrum(Integer NOM) {
  Spectrum s;
  s.X.resize(static_cast<size_t>(NOM));
  s.AMP.resize(2 * static_cast<size_t>(AMP_STRIDE));
  s.A.assign(static_cast<size_t>(NOM), -9.0f);
  s.B.assign(static_cast<size_t>(NOM), -9.0f);
  std::uint32_t u = 7;
  auto next = [&u] {
    u = u * 1664525u + 1013904223u;
    return static_cast<Real>(u >> 8) / 8388608.0f - 1.0f;
  };
  for (Complex& x : s.X) x = {next() * 300.0f, next() * 300.0f};
  for (Complex& a : s.AMP) a = {next() * 4.0f, next() * 4.0f};
  return s;
}

bool same(const Spectrum& a, const Spectrum& b) {
  return std::memcmp(a.X.data(), b.X.data(), a.X.size() * sizeof(Complex)) == 0 &&
         std::memcmp(a.A.data(), b.A.data(), a.A.size() * sizeof(Real)) == 0 &&
         std::memcmp(a.B.data(), b.B.data(), a.B.size() * sizeof(Real)) == 0;
}

std::string run(Spectrum& s, Integer IAMP, const Grid& g, const Profile& p, LinePlan plan) {
  try {
    amplify(s.X.data(), s.A.data(), s.B.data(), s.AMP.data(), IAMP, g, p, plan);
  } catch (const LineFault& f) {
    return std::to_string(f.line) + ": " + f.what();
  }
  return "";
}

}  // namespace

// One layer: X(I) AMP(I) exp(i OM TH / VS), within a few units of a Real.
TEST(Amplify, PhaseFactorIsTheTravelTime) {
  const Profile p = column({30.0f, 0.0f}, {150.0f, 900.0f});
  Grid g;
  g.DOM = 0.37f;
  g.NOM = 300;
  Spectrum s = spectrum(g.NOM);
  const Spectrum before = s;
  run(s, 2, g, p, LinePlan(false, true, Simd::scalar));
  for (Integer I = 1; I <= g.NOM; ++I) {
    const size_t i = static_cast<size_t>(I - 1);
    const double om = static_cast<double>(static_cast<Real>(I - 1) * g.DOM);
    const std::complex<double> x(before.X[i].re, before.X[i].im),
        a(before.AMP[AMP_STRIDE + i].re, before.AMP[AMP_STRIDE + i].im);
    const std::complex<double> want = x * a * std::polar(1.0, om * 30.0 / 150.0);
    EXPECT_NEAR(s.X[i].re, want.real(), 4e-7 * std::abs(want) * (1.0 + om * 0.2)) << I;
    EXPECT_NEAR(s.X[i].im, want.imag(), 4e-7 * std::abs(want) * (1.0 + om * 0.2)) << I;
    EXPECT_EQ(s.A[i], s.X[i].re);
    EXPECT_EQ(s.B[i], s.X[i].im);
  }
}

// Every set and both ways of sharing the lines give the scalar bits: layers
// of no thickness (phase exactly 0), slow layers (phases of thousands of
// radians), a half-space alone, line counts that leave a partial vector.
TEST(Amplify, EverySetGivesTheScalarBits) {
  const Profile profiles[] = {
      column({3.0f, 0.0f, 7.5f, 12.0f, 0.0f}, {120.0f, 300.0f, 450.0f, 600.0f, 2000.0f}),
      column({400.0f, 250.0f, 0.0f}, {35.0f, 20.0f, 3000.0f}),
      column({0.0f}, {800.0f}),
  };
  for (const Profile& p : profiles) {
    for (Integer NOM : {1, 9, 8193}) {
      Grid g;
      g.DOM = 0.23f;
      g.NOM = NOM;
      Spectrum want = spectrum(NOM);
      run(want, 1, g, p, LinePlan(false, true, Simd::scalar));
      for (Simd set : every_simd()) {
        for (bool threads : {false, true}) {
          Spectrum got = spectrum(NOM);
          EXPECT_EQ(run(got, 1, g, p, LinePlan(threads, true, set)), "");
          EXPECT_TRUE(same(got, want)) << detail::simd_name(set) << " NOM " << NOM;
        }
      }
    }
  }
}

// A fault names the same line, whichever set runs and wherever the line falls
// among the cores' halves: the lowest faulting line.
TEST(Amplify, FaultsNamedAlikeOnEverySet) {
  const Profile p = column({3.0f, 5.0f, 0.0f}, {120.0f, 300.0f, 900.0f});
  Profile stalled = p;
  stalled.VS[1] = 0.0f;  // the phase of layer 2: 0/0 on line 1
  Grid g;
  g.DOM = 0.23f;
  g.NOM = 9000;
  const float huge = std::numeric_limits<float>::max();
  struct Case {
    const Profile* p;
    Integer line;  // where X is made to overflow; 0: none
    Integer second;
  };
  const Case cases[] = {{&p, 7001, 0}, {&p, 2003, 7005}, {&stalled, 0, 0}};
  for (const Case& c : cases) {
    Spectrum base = spectrum(g.NOM);
    for (Integer L : {c.line, c.second})
      if (L > 0) base.X[static_cast<size_t>(L - 1)] = {huge, huge};
    Spectrum s = base;
    const std::string want = run(s, 1, g, *c.p, LinePlan(false, true, Simd::scalar));
    ASSERT_NE(want, "");
    EXPECT_EQ(want.substr(0, want.find(':')), std::to_string(c.line > 0 ? c.line : 1));
    for (Simd set : every_simd()) {
      for (bool threads : {false, true}) {
        Spectrum t = base;
        EXPECT_EQ(run(t, 1, g, *c.p, LinePlan(threads, true, set)), want) << detail::simd_name(set);
      }
    }
  }
}
