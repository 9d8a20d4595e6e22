#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "site/kernels.h"
#include "site/site.h"
#include "support/simd.h"

using namespace korvo;

namespace {

using cd = std::complex<double>;

// A column given by its layers, surface first, the half-space last.
struct Layers {
  std::vector<Real> RHO, VP, QP, VS, QS, TH;
  Integer NL() const { return static_cast<Integer>(RHO.size()); }
};

struct Lines {
  Real DOM = 0.5f;
  Integer NOM = 64;
};

enum class Wave { Shear, Compressional, Vertical };

constexpr Complex SENTINEL = {-7.0f, 13.0f};

korvo::Profile profile(const Layers& c, Real QEXP, Real ANGLE, Integer IFLAG) {
  korvo::Profile p;
  p.NL = c.NL();
  for (size_t k = 0; k < c.RHO.size(); ++k) {
    p.RHO[k] = c.RHO[k], p.VP[k] = c.VP[k], p.QP[k] = c.QP[k];
    p.VS[k] = c.VS[k], p.QS[k] = c.QS[k], p.TH[k] = c.TH[k];
  }
  p.QEXP = QEXP;
  p.ANGLE = ANGLE;
  p.IFLAG = IFLAG;
  return p;
}

korvo::Grid grid(const Lines& l) {
  korvo::Grid g;
  g.DOM = l.DOM;
  g.NOM = l.NOM;
  return g;
}

Integer wave_answer(Wave w) { return w == Wave::Shear ? 0 : w == Wave::Vertical ? 1 : 2; }

// AMP filled with a sentinel, then the transfer functions.
std::vector<Complex> transfer(const Layers& c, Wave w, Real QEXP, Real ANGLE, Integer IFLAG,
                              const Lines& l = {}, LinePlan plan = LinePlan{}) {
  std::vector<Complex> AMP(static_cast<size_t>(2 * AMP_STRIDE), SENTINEL);
  site_transfer(wave_answer(w), grid(l), profile(c, QEXP, ANGLE, IFLAG), AMP.data(), plan);
  return AMP;
}

Complex amp(const std::vector<Complex>& AMP, const Lines&, Integer i, int col) {
  return AMP[static_cast<size_t>((col - 1) * AMP_STRIDE + i - 1)];
}

// The report of a refusal or fault, or "" when there was none.
template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

cd wide(Complex c) { return {c.re, c.im}; }

// Principal root, +i for a negative real whatever the sign of its zero.
cd principal_sqrt(cd z) {
  if (z.imag() == 0.0 && z.real() < 0.0) return {0.0, std::sqrt(-z.real())};
  return std::sqrt(z);
}

// Independent double-precision model of the column. Displacement u and the
// "stress" s = Z (UP - DN), Z = RHO x velocity, are continuous at every
// boundary; across a layer of thickness H they propagate as
//   u' = u cos kH + i s sin kH / Z,   s' = i Z u sin kH + s cos kH.
// The free surface gives u = 2, s = 0; at the top of the half-space the
// up-going amplitude is (u + s / Z_NL) / 2.
struct Reference {
  cd col1, col2;
};

cd velocity(const Layers& p, Wave w, int k, double f, Real QEXP) {
  const bool damp = QEXP != 999.0f;
  const double fq = damp ? std::pow(f, static_cast<double>(QEXP)) : 0.0;
  auto damped = [&](double v, double q) { return damp ? cd(v, v * 0.5 / (fq * q)) : cd(v, 0.0); };
  const size_t i = static_cast<size_t>(k - 1);
  switch (w) {
    case Wave::Shear:
      return damped(p.VS[i], p.QS[i]);
    case Wave::Compressional:
      return damped(p.VP[i], p.QP[i]);
    case Wave::Vertical: {
      const cd vs = damped(p.VS[i], p.QS[i]), vp = damped(p.VP[i], p.QP[i]);
      return vs * principal_sqrt(3.0 / (1.0 - vs * vs / (vp * vp)));
    }
  }
  return {};
}

double half_space_speed_squared(const Layers& p, Wave w) {
  const size_t n = static_cast<size_t>(p.NL() - 1);
  const double vs = p.VS[n], vp = p.VP[n];
  switch (w) {
    case Wave::Shear:
      return vs * vs;
    case Wave::Compressional:
      return vp * vp;
    case Wave::Vertical:
      return vs * vs * 3.0 / (1.0 - vs * vs / (vp * vp));
  }
  return 0.0;
}

Reference reference(const Layers& p, Wave w, Real QEXP, double ANGLE, double anum, double om) {
  const double s = std::sin(ANGLE);
  const double p2 = s * s / half_space_speed_squared(p, w);
  const double f = om / (2.0 * M_PI);
  cd u = 2.0, st = 0.0;
  for (int j = 1; j < p.NL(); ++j) {
    const cd v = velocity(p, w, j, f, QEXP);
    const cd Z = static_cast<double>(p.RHO[static_cast<size_t>(j - 1)]) * v;
    const cd kH =
        om * principal_sqrt(1.0 / (v * v) - p2) * static_cast<double>(p.TH[size_t(j - 1)]);
    const cd c = std::cos(kH), sn = std::sin(kH), I(0.0, 1.0);
    const cd u2 = u * c + I * st * sn / Z;
    st = I * Z * u * sn + st * c;
    u = u2;
  }
  const cd ZN = static_cast<double>(p.RHO.back()) * velocity(p, w, p.NL(), f, QEXP);
  const cd up = (u + st / ZN) / 2.0;
  return {anum / up, 2.0 / u};
}

double omega(const Lines& g, Integer i) {
  return static_cast<double>(static_cast<Real>(i - 1) * g.DOM);
}

// Two layers over a half-space: soft clay over stiffer sand over rock.
Layers two_layers() {
  return {{1.8f, 2.0f, 2.4f},        {1500.0f, 1800.0f, 3500.0f}, {30.0f, 40.0f, 80.0f},
          {180.0f, 400.0f, 1500.0f}, {12.0f, 25.0f, 60.0f},       {14.0f, 30.0f, 0.0f}};
}

}  // namespace

TEST(SiteTransfer, HalfSpaceAloneIsFlat) {
  const Layers p = {{2.0f}, {1700.0f}, {50.0f}, {800.0f}, {20.0f}, {0.0f}};
  const Lines g{0.7f, 20};
  for (Wave w : {Wave::Shear, Wave::Compressional, Wave::Vertical}) {
    for (Integer IFLAG : {0, 1}) {
      for (Real QEXP : {999.0f, 0.0f, 0.6f}) {
        const auto AMP = transfer(p, w, QEXP, 0.4f, IFLAG, g);
        for (Integer i = 1; i <= g.NOM; ++i) {
          EXPECT_EQ(amp(AMP, g, i, 1).re, IFLAG == 1 ? 2.0f : 1.0f);
          EXPECT_EQ(amp(AMP, g, i, 1).im, 0.0f);
          EXPECT_EQ(amp(AMP, g, i, 2).re, 1.0f);
          EXPECT_EQ(amp(AMP, g, i, 2).im, 0.0f);
        }
      }
    }
  }
}

// Line 1 at zero frequency is fixed, even for a profile that would fault if
// it were computed (QS = 0 with damping on); rows beyond NOM stay as they were.
TEST(SiteTransfer, ZeroFrequencyLineAndUntouchedRows) {
  Layers p = two_layers();
  p.QS[0] = 0.0f;
  const Lines one{0.5f, 1};
  for (Integer IFLAG : {1, 3}) {
    const auto AMP = transfer(p, Wave::Shear, 0.0f, 0.3f, IFLAG, one);
    EXPECT_EQ(amp(AMP, one, 1, 1).re, IFLAG == 1 ? 2.0f : 1.0f);
    EXPECT_EQ(amp(AMP, one, 1, 1).im, 0.0f);
    EXPECT_EQ(amp(AMP, one, 1, 2).re, 1.0f);
    EXPECT_EQ(amp(AMP, one, 1, 2).im, 0.0f);
  }

  const Lines g{0.5f, 40};
  for (Wave w : {Wave::Shear, Wave::Vertical}) {
    const auto AMP = transfer(two_layers(), w, 0.3f, 0.2f, 0, g);
    for (int col : {1, 2}) {
      for (Integer i : {g.NOM + 1, g.NOM + 2}) {
        EXPECT_EQ(amp(AMP, g, i, col).re, SENTINEL.re);
        EXPECT_EQ(amp(AMP, g, i, col).im, SENTINEL.im);
      }
    }
  }
}

TEST(SiteTransfer, IflagDoublesColumnOneOnly) {
  const Lines g{0.37f, 80};
  for (Wave w : {Wave::Shear, Wave::Compressional, Wave::Vertical}) {
    const auto one = transfer(two_layers(), w, 0.4f, 0.3f, 1, g);
    const auto other = transfer(two_layers(), w, 0.4f, 0.3f, 5, g);
    for (Integer i = 1; i <= g.NOM; ++i) {
      EXPECT_EQ(amp(one, g, i, 1).re, 2.0f * amp(other, g, i, 1).re);
      EXPECT_EQ(amp(one, g, i, 1).im, 2.0f * amp(other, g, i, 1).im);
      EXPECT_EQ(amp(one, g, i, 2).re, amp(other, g, i, 2).re);
      EXPECT_EQ(amp(one, g, i, 2).im, amp(other, g, i, 2).im);
    }
  }
}

// One layer over the same material, elastic: the boundary is transparent and
// the product is diag(E1, E2), so column 1 is ANUM exp(-i k H) and column 2
// is 1 / cos(k H) with k = OM cos(angle) / V.
TEST(SiteTransfer, LayerOverSameMaterial) {
  const Lines g{0.5f, 200};
  const Real H = 40.0f, V = 300.0f;
  const Layers p = {{1.9f, 1.9f}, {600.0f, 600.0f}, {10.0f, 10.0f},
                    {V, V},       {10.0f, 10.0f},   {H, 0.0f}};
  for (Real ANGLE : {0.0f, 0.5f}) {
    const auto AMP = transfer(p, Wave::Shear, 999.0f, ANGLE, 1, g);
    for (Integer i = 2; i <= g.NOM; ++i) {
      const double x = omega(g, i) * std::cos(static_cast<double>(ANGLE)) / V * H;
      const cd c1 = 2.0 * std::exp(cd(0.0, -x));
      const double c2 = 1.0 / std::cos(x);
      const Complex a1 = amp(AMP, g, i, 1), a2 = amp(AMP, g, i, 2);
      EXPECT_NEAR(a1.re, c1.real(), 2e-6 * (1.0 + x)) << i;
      EXPECT_NEAR(a1.im, c1.imag(), 2e-6 * (1.0 + x)) << i;
      // An error dx in the phase moves 1/cos by |tan x / cos x| dx.
      const double tol = 1e-6 * (1.0 + std::abs(c2) * (1.0 + x * std::abs(std::tan(x))));
      EXPECT_NEAR(a2.re, c2, tol) << i;
      EXPECT_NEAR(a2.im, 0.0, tol) << i;
    }
  }
}

// A uniform damped layer (thickness H, velocity V1 (1 + i / (2 Q f^QEXP)))
// over an elastic half-space at vertical incidence. The single layer matrix
// gives UP(2) = cos(k H) + i alpha sin(k H), k = OM / V1*, alpha = rho1 V1* /
// (rho2 V2): |AMP(f,1)| = 1 / |cos(k H) + i alpha sin(k H)| with IFLAG = 0.
// Sampled densely over the first four resonances f = (2n - 1) V1 / (4H);
// bound: 1e-5 relative (phase errors of a few units in the last place of
// k H, magnified near the resonances).
TEST(SiteTransfer, DampedLayerOverElasticHalfSpace) {
  const double V1 = 250.0, V2 = 1200.0, H = 25.0, r1 = 1.7, r2 = 2.3;
  struct Case {
    Real Q, QEXP;
  };
  for (Case c : {Case{8.0f, 0.0f}, Case{20.0f, 0.0f}, Case{15.0f, 0.5f}, Case{5.0f, 1.0f}}) {
    Layers p = {{Real(r1), Real(r2)}, {600.0f, 2400.0f}, {30.0f, 30.0f},
                {Real(V1), Real(V2)}, {c.Q, c.Q},        {Real(H), 0.0f}};
    // Damping is written for the half-space too; make it elastic there by a huge Q.
    p.QS[1] = 1e30f;
    // Fourth resonance at 7 V1 / 4H = 17.5 Hz; sample to 20 Hz.
    const Lines g{static_cast<Real>(2.0 * M_PI * 20.0 / 1000.0), 1001};
    const auto AMP = transfer(p, Wave::Shear, c.QEXP, 0.0f, 0, g);
    double worst = 0.0;
    for (Integer i = 2; i <= g.NOM; ++i) {
      const double om = omega(g, i), f = om / (2.0 * M_PI);
      const cd v1(V1, V1 * 0.5 / (c.Q * std::pow(f, static_cast<double>(c.QEXP))));
      const cd k = om / v1, alpha = r1 * v1 / (r2 * V2);
      const double expect =
          1.0 / std::abs(std::cos(k * H) + cd(0.0, 1.0) * alpha * std::sin(k * H));
      const double got = std::hypot(double(amp(AMP, g, i, 1).re), double(amp(AMP, g, i, 1).im));
      worst = std::max(worst, std::abs(got - expect) / expect);
    }
    EXPECT_LT(worst, 1e-5) << "Q " << c.Q << " QEXP " << c.QEXP;
  }
}

// Beyond the critical angle an elastic layer carries an evanescent field:
// k H = i q H with q = OM sqrt(P2 - 1/V1^2) > 0, so the single-layer closed
// forms become real: AMP1 = ANUM / (cosh qH - alpha sinh qH), AMP2 = 1 / cosh qH.
TEST(SiteTransfer, BeyondCriticalAngle) {
  const double V1 = 2000.0, V2 = 1000.0, r1 = 0.8, r2 = 2.0, H = 50.0;
  const double ANGLE = 1.0;  // sin 1 / 1000 > 1 / 2000
  const Layers p = {{Real(r1), Real(r2)}, {4000.0f, 2000.0f}, {10.0f, 10.0f},
                    {Real(V1), Real(V2)}, {10.0f, 10.0f},     {Real(H), 0.0f}};
  const Lines g{0.25f, 100};
  const auto AMP = transfer(p, Wave::Shear, 999.0f, Real(ANGLE), 1, g);
  const double s = std::sin(static_cast<double>(Real(ANGLE)));
  const double alpha = r1 * V1 / (r2 * V2);
  for (Integer i = 2; i <= g.NOM; ++i) {
    const double qH = omega(g, i) * std::sqrt(s * s / (V2 * V2) - 1.0 / (V1 * V1)) * H;
    const double c1 = 2.0 / (std::cosh(qH) - alpha * std::sinh(qH));
    const double c2 = 1.0 / std::cosh(qH);
    EXPECT_NEAR(amp(AMP, g, i, 1).re, c1, 3e-6 * c1 * (1.0 + qH)) << i;
    EXPECT_EQ(amp(AMP, g, i, 1).im, 0.0f) << i;
    EXPECT_NEAR(amp(AMP, g, i, 2).re, c2, 3e-6 * c2 * (1.0 + qH)) << i;
    EXPECT_EQ(amp(AMP, g, i, 2).im, 0.0f) << i;
  }
}

// Whole columns against the double-precision propagator, every line, every
// wave type, damped and elastic, vertical and oblique. Compared are the
// denominators UP(NL) = ANUM / AMP1 and UP(NL) + DN(NL) = 2 / AMP2, which stay
// finite at the elastic resonances where the columns themselves blow up.
// Bound: 1e-5 of the largest denominator of the column.
TEST(SiteTransfer, MatchesDoublePrecisionPropagator) {
  struct Case {
    Wave w;
    Real QEXP, ANGLE;
  };
  const Case cases[] = {
      {Wave::Shear, 0.0f, 0.0f},          {Wave::Shear, 0.4f, 0.35f},
      {Wave::Compressional, 0.2f, 0.25f}, {Wave::Vertical, 0.0f, 0.0f},
      {Wave::Vertical, 0.7f, 0.4f},       {Wave::Shear, 999.0f, 0.3f},
      {Wave::Vertical, 999.0f, 0.2f},
  };
  const Lines g{0.2f, 600};  // up to 19 Hz: several resonances of each layer
  for (const Case& c : cases) {
    const auto AMP = transfer(two_layers(), c.w, c.QEXP, c.ANGLE, 1, g);
    for (int col : {1, 2}) {
      std::vector<cd> want;
      double scale = 0.0;
      for (Integer i = 2; i <= g.NOM; ++i) {
        const Reference r = reference(two_layers(), c.w, c.QEXP, c.ANGLE, 2.0, omega(g, i));
        want.push_back(2.0 / (col == 1 ? r.col1 : r.col2));
        scale = std::max(scale, std::abs(want.back()));
      }
      double worst = 0.0;
      for (Integer i = 2; i <= g.NOM; ++i) {
        const cd got = 2.0 / wide(amp(AMP, g, i, col));
        worst = std::max(worst, std::abs(got - want[static_cast<size_t>(i - 2)]) / scale);
      }
      EXPECT_LT(worst, 1e-5) << "case " << (&c - cases) << " column " << col;
    }
  }
}

// VP = 2 VS makes the effective velocity exactly 2 VS in an elastic column:
// the vertical result is bit for bit the scalar one with velocities 2 VS.
TEST(SiteTransfer, VerticalWithTwiceShearSpeedIsScalar) {
  Layers p = two_layers();
  for (size_t k = 0; k < p.VS.size(); ++k) p.VP[k] = 2.0f * p.VS[k];
  Layers doubled = p;
  doubled.VS = p.VP;
  const Lines g{0.31f, 300};
  for (Real ANGLE : {0.0f, 0.45f}) {
    const auto vertical = transfer(p, Wave::Vertical, 999.0f, ANGLE, 1, g);
    const auto scalar = transfer(doubled, Wave::Shear, 999.0f, ANGLE, 1, g);
    for (size_t k = 0; k < vertical.size(); ++k) {
      EXPECT_EQ(vertical[k].re, scalar[k].re) << k;
      EXPECT_EQ(vertical[k].im, scalar[k].im) << k;
    }
  }
}

// QP enters the vertical effective velocity through the damped VP.
TEST(SiteTransfer, CompressionalDampingChangesVertical) {
  const Layers p = two_layers();
  Layers q = p;
  q.QP[1] = 5.0f;
  const Lines g{0.5f, 50};
  const auto a = transfer(p, Wave::Vertical, 0.0f, 0.2f, 0, g);
  const auto b = transfer(q, Wave::Vertical, 0.0f, 0.2f, 0, g);
  int changed = 0;
  for (Integer i = 2; i <= g.NOM; ++i) {
    changed += amp(a, g, i, 1).re != amp(b, g, i, 1).re;
    // And by the amount the double model predicts.
    const Reference r = reference(q, Wave::Vertical, 0.0f, 0.2f, 1.0, omega(g, i));
    EXPECT_LT(std::abs(wide(amp(b, g, i, 1)) - r.col1), 1e-4 * (1.0 + std::abs(r.col1))) << i;
  }
  EXPECT_EQ(changed, g.NOM - 1);
  // Damping off: QP plays no part.
  const auto c = transfer(p, Wave::Vertical, 999.0f, 0.2f, 0, g);
  const auto d = transfer(q, Wave::Vertical, 999.0f, 0.2f, 0, g);
  for (size_t k = 0; k < c.size(); ++k) EXPECT_EQ(c[k].re, d[k].re);
}

TEST(SiteTransfer, FloatingPointFaultsAreReported) {
  struct Case {
    const char* what;
    Wave w;
    Real QEXP;
    void (*edit)(Layers&);
    const char* message;
  };
  const Case cases[] = {
      {"QS = 0, damping on", Wave::Shear, 0.0f, [](Layers& p) { p.QS[1] = 0.0f; },
       "division by zero\\) in the horizontal/P-wave transfer functions at frequency line 2 "
       "\\(0.0795775 Hz\\), boundary 2 \\(layers 2 and 3\\)"},
      {"QS = 0, half-space", Wave::Vertical, 0.5f, [](Layers& p) { p.QS[2] = 0.0f; },
       "division by zero\\) in the vertical transfer functions at frequency line 2 .*, boundary "
       "2 "},
      {"zero velocity", Wave::Shear, 999.0f, [](Layers& p) { p.VS[0] = 0.0f; },
       "invalid operation\\) in the horizontal/P-wave transfer functions at frequency line 2 .*"
       "boundary 1 \\(layers 1 and 2\\)"},
      {"zero half-space velocity", Wave::Compressional, 999.0f, [](Layers& p) { p.VP[2] = 0.0f; },
       "invalid operation\\) in the horizontal/P-wave transfer functions, in the half-space "
       "slowness"},
      {"zero density below the surface", Wave::Shear, 999.0f, [](Layers& p) { p.RHO[1] = 0.0f; },
       "invalid operation\\) in the horizontal/P-wave .* boundary 1 \\(layers 1 and 2\\)"},
      {"VS = VP in the half-space", Wave::Vertical, 999.0f, [](Layers& p) { p.VP[2] = p.VS[2]; },
       "division by zero\\) in the vertical transfer functions, in the half-space slowness"},
      {"VS = VP in a layer", Wave::Vertical, 999.0f, [](Layers& p) { p.VP[1] = p.VS[1]; },
       "invalid operation\\) in the vertical transfer functions at frequency line 2 .*boundary 2 "},
  };
  for (const Case& c : cases) {
    Layers p = two_layers();
    c.edit(p);
    const std::string e = error_of([&] { transfer(p, c.w, c.QEXP, 0.3f, 1, Lines{0.5f, 8}); });
    EXPECT_TRUE(
        std::regex_search(e, std::regex(std::string("^floating-point fault \\(") + c.message)))
        << c.what << ": " << e;
  }
  // Counts that would reach past the arrays.
  std::vector<Complex> out(2 * AMP_STRIDE);
  korvo::Profile none = profile(two_layers(), 0.0f, 0.0f, 1);
  none.NL = 0;
  EXPECT_EQ(
      error_of([&] {
        scalar_layer_transfer(grid({0.5f, 4}), none, none.VS, none.QS, out.data());
      }),
      "horizontal/P-wave transfer functions: 0 layers (1 to 50 allowed), 4 lines (at most 32768)");
  const korvo::Profile p3 = profile(two_layers(), 0.0f, 0.0f, 1);
  EXPECT_EQ(error_of([&] {
              vertical_layer_transfer(grid({0.5f, NMAX + 1}), p3, out.data());
            }),
            "vertical transfer functions: 3 layers (1 to 50 allowed), 32769 lines (at most 32768)");

  // A zero density at the surface only makes the impedance ratio 0: no fault.
  Layers p = two_layers();
  p.RHO[0] = 0.0f;
  EXPECT_EQ(error_of([&] { transfer(p, Wave::Shear, 0.3f, 0.3f, 1); }), "");
}

namespace {

Layers deep_profile() {
  Layers deep;
  for (int k = 0; k < 12; ++k) {
    const Real d = static_cast<Real>(k);
    deep.RHO.push_back(1.6f + 0.07f * d);
    deep.VS.push_back(120.0f + 61.0f * d);
    deep.VP.push_back(1.9f * deep.VS.back() + 7.0f);
    deep.QS.push_back(6.0f + 3.3f * d);
    deep.QP.push_back(11.0f + 2.1f * d);
    deep.TH.push_back(2.5f + 1.7f * d);
  }
  return deep;
}

}  // namespace

// The lines are shared among threads and each keeps the per-layer table while
// F = FHZ^QEXP repeats. Neither may change a bit: every line once more on one
// thread, the table formed afresh on every line. QEXP values where F repeats
// (999, 0), where it changes on every line, and 1e-7, where F steps through
// neighbouring Reals in runs of equal values: a key that keeps a table for a
// nearby F shows there.
TEST(SiteTransfer, SharedWorkChangesNoBit) {
  const Layers deep = deep_profile();
  // A fast layer near the surface: evanescent there at oblique incidence.
  Layers fast = two_layers();
  fast.VS[0] = 2500.0f;
  fast.VP[0] = 5000.0f;
  struct Case {
    const Layers* p;
    Wave w;
    Real QEXP, ANGLE;
  };
  const Case cases[] = {
      {&deep, Wave::Shear, 999.0f, 0.3f},    {&deep, Wave::Shear, 0.0f, 0.0f},
      {&deep, Wave::Shear, 0.35f, 0.5f},     {&deep, Wave::Compressional, -0.2f, 0.2f},
      {&deep, Wave::Vertical, 999.0f, 0.4f}, {&deep, Wave::Vertical, 0.0f, 0.1f},
      {&deep, Wave::Vertical, 0.6f, 0.3f},   {&fast, Wave::Shear, 999.0f, 1.2f},
      {&fast, Wave::Vertical, 0.25f, 1.0f},  {&deep, Wave::Vertical, 1e-7f, 0.2f},
      {&deep, Wave::Shear, -1e-7f, 0.3f},
  };
  // Enough lines and layers to be shared among threads.
  const Lines g{0.173f, 2000};
  for (const Case& c : cases) {
    const auto got = transfer(*c.p, c.w, c.QEXP, c.ANGLE, 1, g);
    const auto want = transfer(*c.p, c.w, c.QEXP, c.ANGLE, 1, g, LinePlan{false, false});
    int differ = 0;
    for (size_t k = 0; k < got.size(); ++k) {
      differ += std::memcmp(&got[k], &want[k], sizeof(Complex)) != 0;
    }
    EXPECT_EQ(differ, 0) << "case " << (&c - cases);
  }
}

// With QEXP = 14, F = FHZ^QEXP overflows a Real from the first line whose
// frequency reaches FLT_MAX^(1/14), about 565 Hz, and every line from there on
// faults. Whether that line falls in the first runs of lines handed to the
// threads or a later one (50 layers make 1000 lines worth sharing), and
// whichever thread meets a fault first, the report names it. Line 2 stays
// above 1 Hz, where the damping is moderate.
TEST(SiteTransfer, LowestFaultingLineWhereverTheLinesGo) {
  Layers p;
  for (int k = 0; k < LMAX; ++k) {
    const Real d = static_cast<Real>(k);
    p.RHO.push_back(1.8f), p.VS.push_back(200.0f + 10.0f * d), p.VP.push_back(400.0f + 20.0f * d);
    p.QS.push_back(20.0f), p.QP.push_back(30.0f), p.TH.push_back(2.0f);
  }
  for (Real DOM : {35.9f, 11.87f, 4.0f}) {
    auto F = [&](Integer i) {
      const Real FHZ = real(wide(static_cast<Real>(i - 1)) * DOM) / TWOPI;
      return static_cast<float>(std::pow(wide(FHZ), 14.0));
    };
    Integer line = 2;
    while (std::isfinite(F(line))) ++line;
    ASSERT_EQ(line<201, DOM> 20.0f);  // the first and the second block
    const std::string e = error_of([&] {
      transfer(p, Wave::Shear, 14.0f, 0.3f, 1, Lines{DOM, 1000});
    });
    EXPECT_NE(e.find("(overflow)"), std::string::npos) << e;
    EXPECT_NE(e.find(" at frequency line " + std::to_string(line) + " ("), std::string::npos) << e;
  }
}

// The principal root as defined: t = sqrt((|x| + hypot(x, y)) / 2), q = |y| / 2t.
Complex root_by_hypot(Complex z) {
  const double x = z.re, y = z.im;
  if (y == 0.0)
    return x < 0.0 ? Complex{0.0f, real(std::sqrt(-x))} : Complex{real(std::sqrt(x)), 0.0f};
  const double t = std::sqrt((std::fabs(x) + std::hypot(x, y)) / 2.0);
  if (x >= 0.0) return {real(t), real(y / (2.0 * t))};
  return {real(std::fabs(y) / (2.0 * t)), real(std::copysign(t, y))};
}

bool same_bits(Complex a, Complex b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The root's fast modulus and the transfer's reciprocal exponential are
// within a few units of the library's; near_tie sends the lines where that
// could show in a Real to the library. Here the fast formulas are made 64
// units worse on inputs whose true t, q or e^-x lie within two units of a
// midpoint between Reals (found by search), so that without the guard the
// stored bits would change.
TEST(NearTieGuards, HoldAFastFormulaToTheLibraryOne) {
  const std::uint32_t roots[][2] = {
      {0x41db55b1u, 0x3c371044u}, {0x40e086d8u, 0x3f694d87u},
      {0x3fba628bu, 0x3fa2752eu}, {0x3c5b4a23u, 0x41213831u},  // t near a midpoint
      {0x3d2d1b8au, 0x3cb02d98u}, {0x4035a19eu, 0x40123556u},
      {0x3c1449cfu, 0x40a05cefu}, {0x3ca5df15u, 0x3efaddf6u},  // q near a midpoint
  };
  for (double k : {-64.0, 64.0}) {
    auto off = [k](double x, double y) { return std::hypot(x, y) * (1.0 + k * 0x1p-53); };
    for (const auto& r : roots) {
      for (std::uint32_t sign : {0u, 0x80000000u}) {
        const Complex z = {std::bit_cast<float>(r[0] | sign), std::bit_cast<float>(r[1] | sign)};
        const double t = std::sqrt(
            (std::fabs(korvo::wide(z.re)) + std::hypot(korvo::wide(z.re), korvo::wide(z.im))) /
            2.0);
        ASSERT_TRUE(detail::near_tie(t) ||
                    detail::near_tie(std::fabs(korvo::wide(z.im)) / (2.0 * t)));
        EXPECT_TRUE(same_bits(detail::csqrt_with(z, off), root_by_hypot(z)))
            << std::hexfloat << z.re << " " << z.im << " " << k;
        EXPECT_TRUE(same_bits(csqrt(z), root_by_hypot(z)));
      }
    }
    // e^-x within a unit of a midpoint: x = 0x1.d2259ap+3.
    double (*recip)(double) = [](double e) { return 1.0 / e * (1.0 - 64.0 * 0x1p-53); };
    if (k > 0) recip = [](double e) { return 1.0 / e * (1.0 + 64.0 * 0x1p-53); };
    const Complex z = {std::bit_cast<float>(0x416912cdu), 0.7f};
    ASSERT_TRUE(detail::near_tie(std::exp(-korvo::wide(z.re))));
    Complex E1, E2;
    detail::cexp_pair_with(z, E1, E2, recip);
    EXPECT_TRUE(same_bits(E1, cexp(z)));
    EXPECT_TRUE(same_bits(E2, cexp({-z.re, -z.im}))) << k;
  }
}

// A double rounds to a Real the same way as everything within 4096 of its
// units in the last place, except near a midpoint between Reals or outside
// their normal range.
TEST(SiteTransfer, NearTieBounds) {
  const double mid = 1.0 + 0x1p-24;  // halfway between 1 and the next Real
  const double ulp = 0x1p-52;
  struct Case {
    double x;
    bool near;
  };
  const Case cases[] = {
      {1.0, false},
      {mid, true},
      {mid + 4096 * ulp, true},
      {mid - 4096 * ulp, true},
      {mid + 4097 * ulp, false},
      {mid - 4097 * ulp, false},
      {-mid, true},
      {-(mid + 4097 * ulp), false},
      {0.0, true},
      {-0.0, true},
      {0x1p-126, false},               // smallest normal Real
      {0x1.fffffffffffffp-127, true},  // subnormal as a Real
      {0x1.fffffep127, false},         // largest Real
      {0x1.ffffffp127, true},          // halfway to overflow
      {0x1p128, true},                 // overflows
      {std::numeric_limits<double>::infinity(), true},
      {std::numeric_limits<double>::quiet_NaN(), true},
  };
  for (const Case& c : cases) EXPECT_EQ(detail::near_tie(c.x), c.near) << std::hexfloat << c.x;
}

namespace {

// The instruction sets this build and processor run, the scalar code first.
using support::every_simd;

int differing_lines(const std::vector<Complex>& a, const std::vector<Complex>& b) {
  int differ = 0;
  for (size_t k = 0; k < a.size(); ++k) differ += std::memcmp(&a[k], &b[k], sizeof(Complex)) != 0;
  return differ;
}

}  // namespace

// The vector kernels form W lines at once with libmvec's exp, cos, sin and
// pow in place of the library's; every stored bit must still be the scalar
// code's. Hard columns: a zero-thickness layer (phase 0: sin 0 = 0 exactly),
// a fast layer that is evanescent at oblique incidence (purely imaginary
// slowness), damping strong enough that e^-x runs out of Reals (subnormal and
// zero factors), QEXP values that keep F fixed (999, 0) or vary it, a
// half-space alone, and line counts that leave a partial vector.
TEST(SiteTransfer, EveryInstructionSetGivesTheScalarBits) {
  const Layers deep = deep_profile();
  Layers thin = deep;
  thin.TH[3] = 0.0f;
  Layers fast = two_layers();
  fast.VS[0] = 2500.0f;
  fast.VP[0] = 5000.0f;
  // Damping ratio 1 at 1 Hz: e^x reaches 1e38 (e^-x subnormal) before line 706.
  const Layers lossy = {{1.8f, 2.0f},     {400.0f, 1600.0f}, {0.6f, 60.0f},
                        {200.0f, 800.0f}, {0.5f, 50.0f},     {100.0f, 0.0f}};
  const Layers alone = {{2.0f}, {1700.0f}, {50.0f}, {800.0f}, {20.0f}, {0.0f}};
  struct Case {
    const Layers* p;
    Wave w;
    Real QEXP, ANGLE;
    Lines g;
  };
  const Case cases[] = {
      {&deep, Wave::Shear, 999.0f, 0.3f, {0.173f, 2001}},
      {&deep, Wave::Shear, 0.0f, 0.0f, {0.173f, 2003}},
      {&deep, Wave::Shear, 0.35f, 0.5f, {0.173f, 2002}},
      {&deep, Wave::Compressional, -0.2f, 0.2f, {0.91f, 1999}},
      {&deep, Wave::Vertical, 999.0f, 0.4f, {0.173f, 2005}},
      {&deep, Wave::Vertical, 0.6f, 0.3f, {0.173f, 2006}},
      {&deep, Wave::Vertical, 1e-7f, 0.2f, {0.173f, 2007}},
      {&thin, Wave::Shear, 0.3f, 0.3f, {0.173f, 1003}},
      {&fast, Wave::Shear, 999.0f, 1.2f, {0.5f, 3001}},
      {&fast, Wave::Vertical, 0.25f, 1.0f, {0.5f, 3003}},
      {&lossy, Wave::Shear, 0.0f, 0.3f, {0.5f, 705}},
      {&lossy, Wave::Shear, 0.05f, 0.3f, {0.5f, 721}},
      {&alone, Wave::Vertical, 0.3f, 0.3f, {0.5f, 10}},
      {&deep, Wave::Shear, 0.3f, 0.3f, {0.5f, 2}},
  };
  for (const Case& c : cases) {
    const LinePlan scalar(false, false, Simd::scalar);
    const auto want = transfer(*c.p, c.w, c.QEXP, c.ANGLE, 1, c.g, scalar);
    if (c.p == &lossy) {
      const Complex last = want[static_cast<size_t>(c.g.NOM - 1)];
      EXPECT_LT(std::fabs(last.re), std::numeric_limits<float>::min()) << "not subnormal";
    }
    for (Simd s : every_simd()) {
      for (bool threads : {false, true}) {
        const auto got = transfer(*c.p, c.w, c.QEXP, c.ANGLE, 1, c.g, LinePlan(threads, true, s));
        EXPECT_EQ(differing_lines(got, want), 0)
            << "case " << (&c - cases) << " " << detail::simd_name(s) << " threads " << threads;
      }
    }
  }
}

// A fault is reported at the same line and boundary whichever kernels ran:
// the group of lines that raised it is formed again line by line.
TEST(SiteTransfer, FaultsNamedAlikeOnEveryInstructionSet) {
  struct Case {
    Wave w;
    Real QEXP;
    void (*edit)(Layers&);
    Lines g;
  };
  const Case cases[] = {
      {Wave::Shear, 0.0f, [](Layers& p) { p.QS[1] = 0.0f; }, {0.5f, 40}},
      {Wave::Vertical, 0.5f, [](Layers& p) { p.QS[2] = 0.0f; }, {0.5f, 40}},
      {Wave::Shear, 999.0f, [](Layers& p) { p.VS[0] = 0.0f; }, {0.5f, 40}},
      {Wave::Vertical, 999.0f, [](Layers& p) { p.VP[1] = p.VS[1]; }, {0.5f, 40}},
      // F overflows from about 565 Hz: a line in the middle of a vector.
      {Wave::Shear, 14.0f, [](Layers&) {}, {11.87f, 400}},
      {Wave::Vertical, 14.0f, [](Layers&) {}, {35.9f, 400}},
  };
  for (const Case& c : cases) {
    Layers p = deep_profile();
    c.edit(p);
    const std::string want = error_of(
        [&] { transfer(p, c.w, c.QEXP, 0.3f, 1, c.g, LinePlan(false, false, Simd::scalar)); });
    ASSERT_NE(want, "") << "case " << (&c - cases);
    for (Simd s : every_simd()) {
      for (bool threads : {false, true}) {
        EXPECT_EQ(
            error_of([&] { transfer(p, c.w, c.QEXP, 0.3f, 1, c.g, LinePlan(threads, true, s)); }),
            want)
            << "case " << (&c - cases) << " " << detail::simd_name(s);
      }
    }
  }
}

#if defined(KORVO_X86_KERNELS)
// The vector phase-factor pair against detail::cexp_pair: a lane the kernel
// keeps must have the scalar bits. The first pairs were found by search: there
// e^x times libmvec's sin(y) and times the library's sin(y) round to different
// Reals, so that a kernel without its near_tie test on the products fails
// here. Then the exact cases (no damping: e^0 = 1; zero phase: sin(+-0) =
// +-0), the ends of e^x's range and values that are not numbers.
TEST(NearTieGuards, VectorPhaseFactorsKeepOnlyScalarBits) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<Complex> hard = {
      {0x1.08af58p+0f, 0x1.84c704p+0f},
      {0x1.15ca18p+0f, 0x1.addc7p+0f},
      {0x1.1bd238p+0f, 0x1.466d48p+0f},
      {0.0f, 0.7f},
      {-0.0f, 2.5f},
      {0.3f, 0.0f},
      {-1.7f, -0.0f},
      {0.0f, -0.0f},
      {79.9f, 1.0f},
      {80.1f, -3.0f},
      {87.5f, 0.4f},
      {-88.5f, 0.4f},
      {89.0f, 0.2f},
      {-104.0f, 0.1f},
      {1.5f, 1e30f},
      {0.5f, inf},
      {std::numeric_limits<float>::quiet_NaN(), 1.0f},
  };
  std::vector<Complex> z = hard;
  std::uint32_t s = 12345;
  while (z.size() < 4096) {  // and ordinary ones, filling the vectors
    s = s * 1664525u + 1013904223u;
    const Real x = static_cast<Real>(s >> 8) / 16777216.0f * 60.0f - 30.0f;
    s = s * 1664525u + 1013904223u;
    z.push_back({x, static_cast<Real>(s >> 8) / 16777216.0f * 400.0f - 200.0f});
  }
  for (Simd set : every_simd()) {
    if (set == Simd::scalar) continue;
    const size_t W = static_cast<size_t>(detail::site_kernels(set).lanes);
    auto lanes = detail::site_kernels(set).cexp_pair_lanes;
    int reported = 0;
    for (size_t i = 0; i < z.size(); i += W) {
      Complex E1[8], E2[8];
      const unsigned left = lanes(&z[i], E1, E2);
      for (size_t k = 0; k < W; ++k) {
        if (left >> k & 1u) {
          ++reported;
          continue;
        }
        Complex W1, W2;
        detail::cexp_pair(z[i + k], W1, W2);
        EXPECT_TRUE(same_bits(E1[k], W1) && same_bits(E2[k], W2))
            << detail::simd_name(set) << std::hexfloat << " z = " << z[i + k].re << ", "
            << z[i + k].im;
      }
    }
    EXPECT_LT(reported, 64) << "most lanes should stay with the kernel";
  }
}
#endif
