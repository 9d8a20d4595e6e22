#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "nonlinear/nonlinear.h"

namespace korvo::nonlinear {

double masing_damping(const Element& e, double g) {
  if (!e.hysteretic || !(g > 0.0)) return 0.0;
  // 8-point Gauss-Legendre on panels halving towards 0, where the power
  // law's curvature gathers; below the last panel the backbone is Gmax g.
  static constexpr double X[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267,
                                  0.9602898564975363};
  static constexpr double W[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745,
                                  0.1012285362903763};
  double integral = 0.0, hi = g, tau = 0.0, tangent = 0.0;
  for (int panel = 0; panel < 48; ++panel) {
    const double lo = hi / 2.0, mid = (hi + lo) / 2.0, half = (hi - lo) / 2.0;
    for (int i = 0; i < 4; ++i) {
      double a = 0.0, b = 0.0;
      backbone(e, mid - half * X[i], a, tangent);
      backbone(e, mid + half * X[i], b, tangent);
      integral += half * W[i] * (a + b);
    }
    hi = lo;
  }
  integral += e.gmax * hi * hi / 2.0;
  backbone(e, g, tau, tangent);
  return 2.0 / column::PI_D * (2.0 * integral / (tau * g) - 1.0);
}

Fit fit_mkz(const column::Curve& modulus) {
  // Start from the straight line that log(1/G - 1) = s log(g) - s log(gamma_r)
  // makes through the points strictly between 0 and 1.
  double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
  int count = 0;
  for (std::size_t i = 0; i < modulus.value.size(); ++i) {
    const double v = modulus.value[i];
    if (!(v > 0.0 && v < 1.0)) continue;
    const double x = std::log(modulus.strain_pct[i]);
    const double y = std::log(1.0 / v - 1.0);
    sx += x, sy += y, sxx += x * x, sxy += x * y;
    ++count;
  }
  const double det = count * sxx - sx * sx;
  if (count < 2 || !(det > 0.0))
    throw korvo::Error("the G/Gmax table has fewer than two values between 0 and 1 to fit");
  double s = (count * sxy - sx * sy) / det;
  if (!(s > 0.0)) throw korvo::Error("the G/Gmax table does not fall with strain");
  double lr = -((sy - s * sx) / count) / s;  // log gamma_r

  // Levenberg-Marquardt on the G/Gmax residuals of every point.
  auto misfit = [&](double lr_, double s_, double* jtj, double* jtr) {
    double sum = 0.0;
    for (std::size_t i = 0; i < modulus.value.size(); ++i) {
      const double z = std::log(modulus.strain_pct[i]) - lr_;
      const double p = std::exp(s_ * z);
      const double m = 1.0 / (1.0 + p);
      const double r = modulus.value[i] - m;
      sum += r * r;
      if (jtj) {
        const double d_lr = m * m * p * s_;  // dm / d log(gamma_r)
        const double d_s = -m * m * p * z;   // dm / ds
        jtj[0] += d_lr * d_lr, jtj[1] += d_lr * d_s, jtj[2] += d_s * d_s;
        jtr[0] += d_lr * r, jtr[1] += d_s * r;
      }
    }
    return sum;
  };
  double lambda = 1e-3;
  double best = misfit(lr, s, nullptr, nullptr);
  for (int it = 0; it < 200 && lambda < 1e12; ++it) {
    double a[3] = {0.0, 0.0, 0.0}, r[2] = {0.0, 0.0};
    misfit(lr, s, a, r);
    const double a0 = a[0] * (1.0 + lambda), a2 = a[2] * (1.0 + lambda);
    const double dd = a0 * a2 - a[1] * a[1];
    if (!(dd > 0.0)) break;
    const double dlr = (r[0] * a2 - r[1] * a[1]) / dd;
    const double ds = (a0 * r[1] - a[1] * r[0]) / dd;
    const double s_new = s + ds;
    const double now = s_new > 0.0 ? misfit(lr + dlr, s_new, nullptr, nullptr) : best + 1.0;
    if (now < best) {
      const bool done = best - now <= 1e-15 * best;
      lr += dlr, s = s_new, best = now, lambda /= 10.0;
      if (done) break;
    } else {
      lambda *= 10.0;
    }
  }
  return {std::exp(lr), s, std::sqrt(best / static_cast<double>(modulus.value.size()))};
}

std::vector<Element> mesh(const std::vector<column::Sublayer>& sublayers, double max_thickness) {
  if (!(max_thickness >= 0.0))
    throw korvo::Error("the largest element thickness must be 0 or more metres");
  std::vector<std::pair<const column::CurveSet*, Fit>> fits;
  std::vector<Element> out;
  for (const column::Sublayer& sub : sublayers) {
    Element e;
    e.layer = sub.layer;
    e.rho = sub.rho;
    e.gmax = sub.rho * sub.vs0 * sub.vs0;
    e.xi = column::small_strain_props(sub.soil).damping;
    switch (sub.soil.model) {
      case column::Model::Darendeli:
        e.hysteretic = true;
        e.gamma_r = sub.soil.gamma_r;
        e.s = sub.soil.a;
        break;
      case column::Model::Table: {
        auto it = std::find_if(fits.begin(), fits.end(),
                               [&](const auto& f) { return f.first == sub.soil.set; });
        if (it == fits.end()) {
          try {
            fits.emplace_back(sub.soil.set, fit_mkz(sub.soil.set->modulus));
          } catch (const korvo::Error& error) {
            throw korvo::Error("curves '" + sub.soil.set->name + "': " + error.what());
          }
          it = fits.end() - 1;
        }
        e.hysteretic = true;
        e.gamma_r = it->second.gamma_r;
        e.s = it->second.s;
        e.fit_error = it->second.error;
        break;
      }
      case column::Model::Linear:
        break;
    }
    const double parts =
        max_thickness > 0.0 ? std::max(1.0, std::ceil(sub.thickness / max_thickness - 1e-9)) : 1.0;
    const int count = static_cast<int>(parts);
    e.thickness = sub.thickness / parts;
    for (int j = 0; j < count; ++j) {
      e.top = sub.top + e.thickness * j;
      out.push_back(e);
    }
  }
  return out;
}

}  // namespace korvo::nonlinear
