// The column at the RVT grid's frequencies against the record engine on its
// own bins and against the uniform layer's closed form, and the RVT
// equivalent-linear state against the curves it must reproduce.
#include "column/rvt_site.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

using namespace korvo::column;
using Cl = std::complex<long double>;

namespace {

// A linear sublayer; rho in t/m^3 as the engine keeps it.
Sublayer linear(double top, double h, double rho, double vs, double xi) {
  Sublayer s;
  s.top = top;
  s.thickness = h;
  s.mid = top + h / 2.0;
  s.rho = rho;
  s.vs0 = vs;
  s.soil.model = Model::Linear;
  s.soil.damping = xi;
  return s;
}

std::vector<Props> small(const std::vector<Sublayer>& subs) {
  std::vector<Props> p;
  for (const auto& s : subs) p.push_back(small_strain_props(s.soil));
  return p;
}

const char* CLAY = R"(water_table = 0.0
[[layer]]
name = "clay"
thickness = 30.0
unit_weight = 18.0
vs = 180.0
model = "darendeli"
plasticity_index = 20.0
ocr = 1.0
k0 = 0.5
sublayers = 10
[halfspace]
unit_weight = 22.0
vs = 760.0
damping_pct = 1.0
)";

}  // namespace

// Same waves, same interface conditions: at the transform's bins the direct
// evaluation must agree with the record engine's chained phase factors to
// their rounding, for every complex modulus and both inputs.
TEST(RvtSiteTransfer, EqualsRecordEngineOnItsBins) {
  const std::vector<Sublayer> subs = {linear(0.0, 4.0, 1.8, 150.0, 0.03),
                                      linear(4.0, 6.0, 1.9, 260.0, 0.02),
                                      linear(10.0, 5.0, 2.0, 420.0, 0.01)};
  const HalfSpace rock{22.0, 900.0, 0.005};
  Motion rec;
  rec.dt = 0.01;
  for (int i = 0; i < 1500; ++i) rec.a.push_back(std::sin(0.37 * i) * std::exp(-0.004 * i));
  for (InputKind input : {InputKind::Outcrop, InputKind::Within})
    for (ComplexModulus mod :
         {ComplexModulus::Velocity, ComplexModulus::Simple, ComplexModulus::UnitModulus}) {
      Options o;
      o.method = Method::Linear;
      o.input = input;
      o.modulus = mod;
      Analysis a(subs, rock, rec, o);
      a.run();
      const auto h = a.transfer();
      std::vector<double> f;
      for (std::size_t i = 0; i < h.size(); ++i) f.push_back(a.frequency_step() * double(i));
      const auto mine = column_transfer(subs, rock, small(subs), f, mod, input).surface;
      ASSERT_EQ(mine.size(), h.size());
      int compared = 0;
      for (std::size_t i = 0; i < h.size(); ++i) {
        if (h[i] == 0.0) continue;  // past the range of doubles: nil in both
        EXPECT_LE(std::abs(mine[i] - h[i]), 1e-10 * std::abs(h[i]))
            << "bin " << i << " input " << int(input) << " modulus " << int(mod);
        ++compared;
      }
      EXPECT_GT(compared, 1000);
    }
}

// One uniform damped layer (three identical sublayers, so the interfaces
// inside it must pass the waves unchanged) on a damped half-space:
// surface / outcrop = 1 / (cos kH + i a sin kH), surface / within = 1 / cos kH,
// a = rho V* / (rho_r V*_r); strain at depth z per unit input acceleration
// = k sin(kz) (surface / input) / w^2.
TEST(RvtSiteTransfer, UniformLayerClosedForm) {
  const double H = 24.0, rho = 1.8, vs = 200.0, xi = 0.04;
  std::vector<Sublayer> subs;
  for (int j = 0; j < 3; ++j) subs.push_back(linear(8.0 * j, 8.0, rho, vs, xi));
  const HalfSpace rock{2.2 * GRAVITY, 800.0, 0.01};
  const std::vector<double> f = {0.3, 1.7, 2.05, 4.2, 11.0};
  const long double pi = 3.141592653589793238462643383279502884L;
  const Cl V(vs, vs * xi), Vr(800.0L, 8.0L);
  const Cl a = (static_cast<long double>(rho) * V) / (2.2L * Vr);
  for (InputKind input : {InputKind::Outcrop, InputKind::Within}) {
    const auto t = column_transfer(subs, rock, small(subs), f, ComplexModulus::Velocity, input);
    for (std::size_t i = 0; i < f.size(); ++i) {
      const long double w = 2 * pi * f[i];
      const Cl k = w / V;
      const Cl kH = k * static_cast<long double>(H);
      const Cl h = input == InputKind::Outcrop ? 1.0L / (std::cos(kH) + Cl(0, 1) * a * std::sin(kH))
                                               : 1.0L / std::cos(kH);
      const std::complex<double> hd(double(h.real()), double(h.imag()));
      EXPECT_LE(std::abs(t.surface[i] - hd), 1e-12 * std::abs(hd)) << f[i] << " Hz";
      for (std::size_t m = 0; m < subs.size(); ++m) {
        const Cl s = k * std::sin(k * static_cast<long double>(subs[m].mid)) * h / (w * w);
        const std::complex<double> sd(double(s.real()), double(s.imag()));
        EXPECT_LE(std::abs(t.strain[m][i] - sd), 1e-12 * std::abs(sd)) << f[i] << " Hz, " << m;
      }
    }
  }
}

// RVT-EQL of a uniform 30 m clay (Darendeli) under a point source: it must
// converge, to strains soft enough that the curves matter, and its effective
// strains must give back through the curves the properties it reports. The
// input FAS it reports on the grid is the motion's own (made on that grid).
TEST(RvtSite, ClayColumnEqlIsAFixedPoint) {
  const Column clay = read_column(CLAY, "clay.toml");
  const auto subs = divide(clay, 25.0);
  ASSERT_EQ(subs.size(), 10u);
  korvo::rvt::PointSource src;
  src.magnitude = 6.5;
  src.distance_km = std::hypot(20.0, 8.0);
  RvtSiteOptions o;
  o.periods = {0.1, 0.5, 1.0, 10.0};
  const RvtSiteResult r = rvt_site(subs, clay.halfspace, korvo::rvt::point_source(src), o);
  ASSERT_TRUE(r.converged);
  EXPECT_GT(r.iterations, 2);
  double least = 1.0;
  for (std::size_t m = 0; m < subs.size(); ++m) {
    const Props p = soil_props(subs[m].soil, r.strain_eff[m]);
    EXPECT_LE(std::fabs(p.g_ratio - r.props[m].g_ratio) / r.props[m].g_ratio, o.column.tol) << m;
    EXPECT_LE(std::fabs(p.damping - r.props[m].damping) / r.props[m].damping, o.column.tol) << m;
    least = std::min(least, r.props[m].g_ratio);
  }
  EXPECT_LT(least, 0.8);
  const korvo::rvt::Motion m = korvo::rvt::point_source(src);
  ASSERT_EQ(r.input_fas.size(), m.amplitude.size());
  for (std::size_t i = 0; i < m.amplitude.size(); ++i)
    EXPECT_NEAR(r.input_fas[i], m.amplitude[i], 1e-12 * m.amplitude[i]) << r.frequency[i] << " Hz";
}

// Refusals name the argument.
TEST(RvtSite, RefusesBadArguments) {
  const std::vector<Sublayer> one = {linear(0.0, 10.0, 1.8, 200.0, 0.02)};
  const HalfSpace rock{22.0, 800.0, 0.01};
  auto message = [](auto&& call) {
    try {
      call();
    } catch (const korvo::Error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message([&] {
              column_transfer(one, rock, {}, {1.0}, ComplexModulus::Velocity, InputKind::Outcrop);
            }),
            "column transfer: props has 0 entries for 1 sublayers");
  EXPECT_EQ(message([&] {
              column_transfer(one, rock, small(one), {-1.0}, ComplexModulus::Velocity,
                              InputKind::Outcrop);
            }),
            "column transfer: frequency[0] must be finite and >= 0");
  RvtSiteOptions o;
  o.column.strain_ratio = 0.0;
  EXPECT_EQ(message([&] { rvt_site(one, rock, korvo::rvt::point_source({}), o); }),
            "rvt site: strain_ratio must lie in (0, 1], got 0");
}
