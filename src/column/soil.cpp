#include <algorithm>
#include <charconv>
#include <cmath>

#include "column/column.h"

namespace korvo::column {

double interpolate(const Curve& curve, double strain_pct) {
  const auto& x = curve.strain_pct;
  const auto& y = curve.value;
  if (strain_pct <= x.front()) return y.front();
  if (strain_pct >= x.back()) return y.back();
  const auto hi =
      static_cast<std::size_t>(std::upper_bound(x.begin(), x.end(), strain_pct) - x.begin());
  const std::size_t lo = hi - 1;
  const double t = std::log(strain_pct / x[lo]) / std::log(x[hi] / x[lo]);
  return y[lo] + t * (y[hi] - y[lo]);
}

// Darendeli, M.B. (2001), Development of a new family of normalized modulus
// reduction and material damping curves, PhD dissertation, University of
// Texas at Austin: hyperbolic modulus reduction with curvature a, and Masing
// damping of that curve scaled by b (G/Gmax)^0.1, plus the small-strain
// damping.
Props darendeli(double gamma, double gamma_r, double a, double b, double dmin) {
  const double x = gamma / gamma_r;
  const double g_ratio = 1.0 / (1.0 + std::pow(x, a));
  // Masing damping of the a = 1 hyperbola, %:
  // (100/pi) [4 (gamma - gamma_r ln(1 + x)) / (gamma^2 / (gamma + gamma_r)) - 2].
  // For small x the bracket cancels; its series is
  // sum over n >= 1 of 4 (-1)^(n+1) x^n / ((n + 1)(n + 2)) = 2x/3 - x^2/3 + x^3/5 - ...
  double bracket = 0.0;
  if (x < 0.05) {
    double term = x;
    for (int k = 1; k <= 16; ++k, term *= -x) bracket += 4.0 * term / ((k + 1.0) * (k + 2.0));
  } else {
    bracket = 4.0 * (x - std::log1p(x)) * (1.0 + x) / (x * x) - 2.0;
  }
  const double d1 = 100.0 / PI_D * bracket;
  // Masing damping of curvature a from the a = 1 value (the dissertation's fit).
  const double c1 = -1.1143 * a * a + 1.8618 * a + 0.2523;
  const double c2 = 0.0805 * a * a - 0.0710 * a - 0.0095;
  const double c3 = -0.0005 * a * a + 0.0002 * a + 0.0003;
  const double masing = c1 * d1 + c2 * d1 * d1 + c3 * d1 * d1 * d1;
  const double d_pct = b * std::pow(g_ratio, 0.1) * masing;
  return {g_ratio, d_pct / 100.0 + dmin};
}

std::string shortest(double x) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, r.ptr);
}

Props soil_props(const Soil& soil, double strain_pct) {
  switch (soil.model) {
    case Model::Darendeli:
      return darendeli(strain_pct, soil.gamma_r, soil.a, soil.b, soil.dmin);
    case Model::Table:
      return {interpolate(soil.set->modulus, strain_pct),
              interpolate(soil.set->damping, strain_pct)};
    case Model::Linear:
      break;
  }
  return {1.0, soil.damping};
}

Props small_strain_props(const Soil& soil) {
  switch (soil.model) {
    case Model::Darendeli:
      return {1.0, soil.dmin};
    case Model::Table:
      return {1.0, soil.set->damping.value.front()};
    case Model::Linear:
      break;
  }
  return {1.0, soil.damping};
}

SmallStrain small_strain(const std::vector<Sublayer>& subs, const HalfSpace& halfspace) {
  SmallStrain q;
  double travel = 0.0, travel30 = 0.0, depth = 0.0;
  for (const Sublayer& s : subs) {
    const double h = s.thickness;
    travel += h / s.vs0;
    q.kappa0 += 2.0 * small_strain_props(s.soil).damping * h / s.vs0;
    const double within = std::min(h, std::max(0.0, 30.0 - depth));
    travel30 += within / s.vs0;
    depth += h;
  }
  if (depth < 30.0) travel30 += (30.0 - depth) / halfspace.vs;
  q.vs30 = 30.0 / travel30;
  q.f0 = travel > 0.0 ? 1.0 / (4.0 * travel) : 0.0;
  return q;
}

}  // namespace korvo::column
