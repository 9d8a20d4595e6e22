// The column's response against closed forms and identities that do not
// share its arithmetic: the uniform layer's amplification, a propagator
// matrix in (displacement, stress) for layered columns, and the strain as the
// depth derivative of the displacement.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "column/column.h"

using namespace korvo::column;
using Cl = std::complex<long double>;

namespace {

constexpr long double PI_L = 3.141592653589793238462643383279502884L;

// Ricker wavelet of peak frequency f0 centred at t0, peak `amp`.
Motion ricker(double f0, double t0, double dt, int n, double amp) {
  Motion m;
  m.dt = dt;
  for (int i = 0; i < n; ++i) {
    const double a = PI_D * f0 * (i * dt - t0);
    m.a.push_back(amp * (1.0 - 2.0 * a * a) * std::exp(-a * a));
  }
  return m;
}

// G* / G for damping xi in each of the three forms.
Cl modulus_factor(ComplexModulus model, long double xi) {
  switch (model) {
    case ComplexModulus::Velocity:
      return Cl(1, xi) * Cl(1, xi);
    case ComplexModulus::Simple:
      return Cl(1, 2 * xi);
    case ComplexModulus::UnitModulus:
      return Cl(1 - 2 * xi * xi, 2 * xi * std::sqrt(1 - xi * xi));
  }
  return 1;
}

struct Material {
  long double rho, vs, xi, h;  // t/m^3, m/s, fraction, m
};

// Surface over input motion by the propagator matrix of each layer acting
// on (u, tau): u and shear stress are continuous, tau = 0 at the surface.
Cl propagator_transfer(const std::vector<Material>& layers, const Material& rock, long double w,
                       ComplexModulus model, bool within) {
  Cl u = 1, tau = 0;
  for (const auto& l : layers) {
    const Cl G = l.rho * l.vs * l.vs * modulus_factor(model, l.xi);
    const Cl k = w * std::sqrt(l.rho / G);
    const Cl c = std::cos(k * l.h), s = std::sin(k * l.h);
    const Cl u2 = c * u + s / (k * G) * tau;
    tau = -k * G * s * u + c * tau;
    u = u2;
  }
  if (within) return Cl(1) / u;
  // Half-space: u = E e^{ikz} + F e^{-ikz}, tau = i k G (E e^{ikz} - F e^{-ikz}).
  const Cl G = rock.rho * rock.vs * rock.vs * modulus_factor(model, rock.xi);
  const Cl k = w * std::sqrt(rock.rho / G);
  const Cl E = (u + tau / (Cl(0, 1) * k * G)) / Cl(2);
  return Cl(1) / (Cl(2) * E);
}

std::string flat_profile(double damping_pct) {
  return R"(water_table = 100.0
[curves.flat]
modulus = [[0.0001, 1.0], [10.0, 1.0]]
damping = [[0.0001, )" +
         std::to_string(damping_pct) + "], [10.0, " + std::to_string(damping_pct) + R"(]]
[[layer]]
name = "uniform"
thickness = 30.0
unit_weight = 18.0
vs = 200.0
model = "flat"
[halfspace]
unit_weight = 22.0
vs = 800.0
damping_pct = 0.0
)";
}

}  // namespace

// Flat curves: one iteration gives the linear column, whose amplification is
// 1 / (cos k*H + i alpha* sin k*H) over an elastic half-space, in each of the
// complex-modulus forms. The layer is cut into 19 sublayers, so the
// interfaces between equal sublayers must be transparent.
TEST(ColumnResponse, UniformLayerMatchesClosedForm) {
  const Column profile = read_column(flat_profile(5.0), "flat.toml");
  const auto subs = divide(profile, 25.0);
  ASSERT_EQ(subs.size(), 19u);
  Motion m = ricker(2.0, 3.0, 0.01, 2000, 1.0);
  for (ComplexModulus model :
       {ComplexModulus::Velocity, ComplexModulus::Simple, ComplexModulus::UnitModulus}) {
    Options opt;
    opt.modulus = model;
    Analysis analysis(subs, profile.halfspace, m, opt);
    const Result& r = analysis.run();
    EXPECT_EQ(r.iterations, 1);
    EXPECT_TRUE(r.converged);
    const auto h = analysis.transfer();
    const long double rho = 18.0L / 9.80665L, rho_r = 22.0L / 9.80665L;
    const Cl Vs = 200.0L * std::sqrt(modulus_factor(model, 0.05L));
    const Cl alpha = rho * Vs / (rho_r * 800.0L);
    double worst = 0.0;
    for (std::size_t f = 0; f < h.size(); ++f) {
      const long double w = 2 * PI_L * analysis.frequency_step() * static_cast<long double>(f);
      const Cl k = w / Vs;
      const Cl want = Cl(1) / (std::cos(k * 30.0L) + Cl(0, 1) * alpha * std::sin(k * 30.0L));
      const Cl got(h[f]);
      worst = std::max(worst, static_cast<double>(std::abs(got - want) / std::abs(want)));
    }
    EXPECT_LT(worst, 1e-9) << "model " << static_cast<int>(model);
  }
}

// Unequal linear layers over a damped half-space, both kinds of input,
// against the propagator matrices in long double.
TEST(ColumnResponse, LayeredColumnMatchesPropagatorMatrices) {
  const std::string text = R"(water_table = 0.0
[[layer]]
name = "a"
thickness = 4.0
unit_weight = 17.0
vs = 120.0
model = "linear"
damping_pct = 4.0
sublayers = 1
[[layer]]
name = "b"
thickness = 11.0
unit_weight = 19.0
vs = 310.0
model = "linear"
damping_pct = 2.5
sublayers = 3
[[layer]]
name = "c"
thickness = 7.5
unit_weight = 20.0
vs = 450.0
model = "linear"
damping_pct = 1.0
sublayers = 2
[halfspace]
unit_weight = 23.0
vs = 1100.0
damping_pct = 0.5
)";
  const Column profile = read_column(text, "layers.toml");
  const auto subs = divide(profile, 25.0);
  const long double g = 9.80665L;
  const std::vector<Material> layers = {
      {17 / g, 120, 0.04L, 4}, {19 / g, 310, 0.025L, 11}, {20 / g, 450, 0.01L, 7.5L}};
  const Material rock{23 / g, 1100, 0.005L, 0};
  const Motion m = ricker(3.0, 2.0, 0.005, 3000, 0.5);
  for (ComplexModulus model : {ComplexModulus::Velocity, ComplexModulus::UnitModulus})
    for (InputKind input : {InputKind::Outcrop, InputKind::Within}) {
      Options opt;
      opt.modulus = model;
      opt.input = input;
      Analysis analysis(subs, profile.halfspace, m, opt);
      analysis.run();
      const auto h = analysis.transfer();
      double worst = 0.0;
      for (std::size_t f = 0; f < h.size(); f += 7) {
        const long double w = 2 * PI_L * analysis.frequency_step() * static_cast<long double>(f);
        const Cl want = propagator_transfer(layers, rock, w, model, input == InputKind::Within);
        const Cl got(h[f]);
        worst = std::max(worst, static_cast<double>(std::abs(got - want) / std::abs(want)));
      }
      EXPECT_LT(worst, 1e-9) << "model " << static_cast<int>(model) << " input "
                             << static_cast<int>(input);
    }
}

// The strain history at a depth is the depth derivative of the displacement:
// a central difference of two acceleration histories integrated twice. The
// iteration's own peak strain at that mid-depth must agree as well.
TEST(ColumnResponse, StrainIsDepthDerivativeOfDisplacement) {
  const std::string text = R"(water_table = 2.0
[[layer]]
name = "clay"
thickness = 20.0
unit_weight = 18.0
vs = 180.0
model = "darendeli"
plasticity_index = 20
ocr = 1
k0 = 0.5
[halfspace]
unit_weight = 22.0
vs = 700.0
damping_pct = 1.0
)";
  const Column profile = read_column(text, "clay.toml");
  const auto subs = divide(profile, 25.0);
  const double dt = 0.002;
  const Motion m = ricker(2.0, 4.0, dt, 10000, 2.0);  // m/s^2
  Analysis analysis(subs, profile.halfspace, m, Options{});
  const Result& r = analysis.run();
  ASSERT_TRUE(r.converged);
  ASSERT_LT(r.props[5].g_ratio, 0.95);  // strains large enough to soften the clay

  const Sublayer& s = subs[5];
  const double delta = 0.05;
  auto displacement = [&](double depth) {
    const auto a = analysis.acceleration_at(depth);
    std::vector<double> u(a.size(), 0.0);
    double v = 0.0;
    for (std::size_t i = 1; i < a.size(); ++i) {
      const double v1 = v + (a[i - 1] + a[i]) * dt / 2.0;
      u[i] = u[i - 1] + (v + v1) * dt / 2.0;
      v = v1;
    }
    return u;
  };
  const auto up = displacement(s.mid - delta), down = displacement(s.mid + delta);
  const auto strain = analysis.strain_at(s.mid);
  double peak = 0.0, worst = 0.0;
  for (std::size_t i = 0; i < strain.size(); ++i) {
    const double fd = (down[i] - up[i]) / (2.0 * delta) * 100.0;
    peak = std::max(peak, std::fabs(strain[i]));
    worst = std::max(worst, std::fabs(fd - strain[i]));
  }
  EXPECT_LT(worst, 2e-3 * peak);
  EXPECT_NEAR(r.strain_peak[5], peak, 1e-9 * peak);
}

// The shear stress at a depth balances the inertia of the soil above it:
// tau(z, t) = int_0^z rho a(z', t) dz' with a the total acceleration (the
// surface is free). Integrating the column's own acceleration histories
// checks the stress it reports, G* = rho V*^2 times the strain, for each
// complex-modulus form without forming G*.
TEST(ColumnResponse, StressBalancesTheInertiaAbove) {
  const Column profile = read_column(flat_profile(5.0), "flat.toml");
  const auto subs = divide(profile, 25.0);
  const Motion m = ricker(2.0, 3.0, 0.01, 2000, 1.0);  // m/s^2
  const double rho = 18.0 / 9.80665;
  for (ComplexModulus model :
       {ComplexModulus::Velocity, ComplexModulus::Simple, ComplexModulus::UnitModulus}) {
    Options opt;
    opt.method = Method::Linear;
    opt.modulus = model;
    Analysis analysis(subs, profile.halfspace, m, opt);
    const Result& r = analysis.run();
    for (std::size_t s : {3u, 12u}) {
      // Simpson's rule over 200 panels down to the sublayer's middle.
      const int n = 200;
      const double z = subs[s].mid, h = z / n;
      std::vector<double> tau(m.a.size(), 0.0);
      for (int i = 0; i <= n; ++i) {
        const double w = (i == 0 || i == n) ? 1.0 : (i % 2 == 1 ? 4.0 : 2.0);
        const auto a = analysis.acceleration_at(i * h);
        for (std::size_t t = 0; t < tau.size(); ++t) tau[t] += w * h / 3.0 * rho * a[t];
      }
      double peak = 0.0;
      for (double v : tau) peak = std::max(peak, std::fabs(v));
      EXPECT_NEAR(r.stress_peak[s], peak, 1e-6 * peak)
          << "model " << static_cast<int>(model) << " sublayer " << s;
    }
  }
}
