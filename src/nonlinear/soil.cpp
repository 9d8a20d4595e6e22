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

GqhFit fit_gqh(double gmax, double tau_max, const std::vector<double>& strain_pct,
               const std::vector<double>& modulus) {
  if (!(gmax > 0.0 && tau_max > 0.0))
    throw korvo::Error("GQ/H needs a positive modulus and shear strength");
  std::vector<double> strain, target;
  for (std::size_t i = 0; i < strain_pct.size() && i < modulus.size(); ++i)
    if (strain_pct[i] > 0.0) strain.push_back(strain_pct[i] / 100.0), target.push_back(modulus[i]);
  if (strain.empty()) throw korvo::Error("the G/Gmax curve has no strain above 0 to fit");
  const std::size_t n = strain.size();

  // Unknowns that keep the bounds: theta1 = 1 - e^a, theta1 + theta2 = 1 - e^c,
  // theta3 = e^l3, theta5 = e^l5; each clamped to a range that covers soils.
  constexpr int NP = 4;
  const double LO[NP] = {-20.0, -20.0, std::log(1e-4), std::log(0.1)};
  const double HI[NP] = {std::log(50.0), 0.0, std::log(1e4), std::log(10.0)};
  Element e;
  e.gmax = gmax;
  e.tau_max = tau_max;
  e.model = Model::Gqh;
  e.hysteretic = true;
  auto set = [&](const double* P) {
    e.theta[0] = 1.0 - std::exp(P[0]);
    e.theta[1] = std::exp(P[0]) - std::exp(P[1]);
    e.theta[2] = std::exp(P[2]);
    e.theta[3] = 1.0;
    e.theta[4] = std::exp(P[3]);
  };
  auto residuals = [&](const double* P, double* r) {
    set(P);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      double tau = 0.0, tangent = 0.0;
      backbone(e, strain[i], tau, tangent);
      r[i] = tau / (gmax * strain[i]) - target[i];
      sum += r[i] * r[i];
    }
    return sum;
  };
  std::vector<double> r(n), rp(n), J(n * NP);
  auto descend = [&](double* P) {
    double best = residuals(P, r.data()), lambda = 1e-3;
    for (int it = 0; it < 100 && lambda < 1e8; ++it) {
      for (int k = 0; k < NP; ++k) {  // forward differences: a misfit of 1e-8 is plenty
        double Q[NP];
        std::copy(P, P + NP, Q);
        const double h = 1e-7;
        Q[k] = P[k] + h;
        residuals(Q, rp.data());
        for (std::size_t i = 0; i < n; ++i) J[i * NP + k] = (rp[i] - r[i]) / h;
      }
      double A[NP][NP + 1] = {};
      for (std::size_t i = 0; i < n; ++i)
        for (int a = 0; a < NP; ++a) {
          for (int b = 0; b < NP; ++b) A[a][b] += J[i * NP + a] * J[i * NP + b];
          A[a][NP] -= J[i * NP + a] * r[i];
        }
      for (int a = 0; a < NP; ++a) A[a][a] *= 1.0 + lambda, A[a][a] += 1e-12;
      // Gaussian elimination with partial pivoting on the damped normal equations.
      for (int c = 0; c < NP; ++c) {
        int piv = c;
        for (int q = c + 1; q < NP; ++q)
          if (std::abs(A[q][c]) > std::abs(A[piv][c])) piv = q;
        for (int b = 0; b <= NP; ++b) std::swap(A[c][b], A[piv][b]);
        for (int q = c + 1; q < NP; ++q) {
          const double m = A[q][c] / A[c][c];
          for (int b = c; b <= NP; ++b) A[q][b] -= m * A[c][b];
        }
      }
      double step[NP];
      for (int c = NP - 1; c >= 0; --c) {
        double v = A[c][NP];
        for (int b = c + 1; b < NP; ++b) v -= A[c][b] * step[b];
        step[c] = v / A[c][c];
      }
      double Q[NP];
      for (int k = 0; k < NP; ++k) Q[k] = std::clamp(P[k] + step[k], LO[k], HI[k]);
      const double now = residuals(Q, rp.data());
      if (std::isfinite(now) && now < best) {
        const bool done = best - now <= 1e-10 * best;
        std::copy(Q, Q + NP, P);
        r.swap(rp);
        best = now, lambda /= 10.0;
        if (done) break;
      } else {
        lambda *= 10.0;
      }
    }
    return best;
  };
  // Starts: theta1 0.9 and -4, theta3 1 and the curve's mid-point strain.
  const double x_mid = strain[n / 2] * gmax / tau_max;
  double best = -1.0, P_best[NP] = {};
  for (double theta1 : {0.9, -4.0})
    for (double l3 : {std::log(x_mid)}) {
      double P[NP] = {std::log(1.0 - theta1), std::log(0.01), std::clamp(l3, LO[2], HI[2]), 0.0};
      const double sum = descend(P);
      if (best < 0.0 || sum < best) best = sum, std::copy(P, P + NP, P_best);
    }
  set(P_best);
  GqhFit f;
  std::copy(e.theta, e.theta + 5, f.theta);
  f.error = std::sqrt(best / static_cast<double>(n));
  return f;
}

MrdfFit fit_mrdf(const Element& e, const std::vector<double>& strain_pct,
                 const std::vector<double>& damping) {
  std::vector<double> xm, loss, target;
  for (std::size_t i = 0; i < strain_pct.size() && i < damping.size(); ++i) {
    const double g = strain_pct[i] / 100.0;
    if (!(g > 0.0)) continue;
    double tau = 0.0, tangent = 0.0;
    backbone(e, g, tau, tangent);
    xm.push_back(masing_damping(e, g));
    loss.push_back(std::max(0.0, 1.0 - tau / (e.gmax * g)));
    target.push_back(damping[i]);
  }
  if (xm.empty()) throw korvo::Error("the damping curve has no strain above 0 to fit");
  const std::size_t n = xm.size();

  // For one p3 the model p1 xm - p2 xm loss^p3 is linear in (p1, p2): the
  // least squares on the two columns, or on the edge of F >= 0 it crosses
  // (p2 = p1 >= 0, or p1 = 0 with p2 <= 0).
  std::vector<double> c2(n);
  auto solve = [&](double p3, MrdfFit& out) {
    double a11 = 0.0, a12 = 0.0, a22 = 0.0, r1 = 0.0, r2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      c2[i] = -xm[i] * (loss[i] > 0.0 ? std::pow(loss[i], p3) : 0.0);
      a11 += xm[i] * xm[i], a12 += xm[i] * c2[i], a22 += c2[i] * c2[i];
      r1 += xm[i] * target[i], r2 += c2[i] * target[i];
    }
    auto sse = [&](double p1, double p2) {
      double sum = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double r = p1 * xm[i] + p2 * c2[i] - target[i];
        sum += r * r;
      }
      return sum;
    };
    double best = sse(0.0, 0.0), q1 = 0.0, q2 = 0.0;
    auto consider = [&](double p1, double p2) {
      if (!(p1 >= 0.0 && p1 - p2 >= 0.0)) return;
      const double now = sse(p1, p2);
      if (now < best) best = now, q1 = p1, q2 = p2;
    };
    const double det = a11 * a22 - a12 * a12;
    if (det > 1e-12 * a11 * a22) consider((r1 * a22 - r2 * a12) / det, (a11 * r2 - a12 * r1) / det);
    const double d = a11 + 2.0 * a12 + a22;  // the column xm + c2
    if (d > 0.0) {
      const double p = std::max(0.0, (r1 + r2) / d);
      consider(p, p);
    }
    if (a22 > 0.0) consider(0.0, std::min(0.0, r2 / a22));
    out = {q1, q2, p3, best};
    return best;
  };
  const double lo = std::log(0.05), hi = std::log(20.0);
  const int steps = 60;
  MrdfFit best, now;
  int at = 0;
  for (int k = 0; k <= steps; ++k) {
    const double sum = solve(std::exp(lo + (hi - lo) * k / steps), now);
    if (k == 0 || sum < best.error) best = now, at = k;
  }
  // Golden sections in log p3 between the scan's neighbours of the best.
  double a = lo + (hi - lo) * std::max(0, at - 1) / steps;
  double b = lo + (hi - lo) * std::min(steps, at + 1) / steps;
  const double r = (std::sqrt(5.0) - 1.0) / 2.0;
  double x1 = b - r * (b - a), x2 = a + r * (b - a);
  MrdfFit f1, f2;
  double s1 = solve(std::exp(x1), f1), s2 = solve(std::exp(x2), f2);
  for (int it = 0; it < 60; ++it) {
    if (s1 < s2) {
      b = x2, x2 = x1, s2 = s1, f2 = f1;
      x1 = b - r * (b - a);
      s1 = solve(std::exp(x1), f1);
    } else {
      a = x1, x1 = x2, s1 = s2, f1 = f2;
      x2 = a + r * (b - a);
      s2 = solve(std::exp(x2), f2);
    }
  }
  if (f1.error < best.error) best = f1;
  if (f2.error < best.error) best = f2;
  best.error = 100.0 * std::sqrt(best.error / static_cast<double>(n));
  return best;
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

std::vector<Element> mesh(const std::vector<column::Sublayer>& sublayers, double max_thickness,
                          bool fit_damping) {
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
    if (sub.gqh && e.hysteretic) {
      e.model = Model::Gqh;
      e.tau_max = sub.tau_max;
      if (sub.gqh_theta.size() == 5) {
        std::copy(sub.gqh_theta.begin(), sub.gqh_theta.end(), e.theta);
        e.fit_error = 0.0;
      } else {
        // Its G/Gmax curve at small strain; the strength bounds it beyond.
        std::vector<double> strain, modulus;
        for (int k = 0; k <= 12; ++k) {
          strain.push_back(1e-4 * std::pow(10.0, k / 4.0));
          modulus.push_back(column::soil_props(sub.soil, strain.back()).g_ratio);
        }
        try {
          const GqhFit f = fit_gqh(e.gmax, e.tau_max, strain, modulus);
          std::copy(f.theta, f.theta + 5, e.theta);
          e.fit_error = f.error;
        } catch (const korvo::Error& error) {
          throw korvo::Error("layer " + std::to_string(sub.layer + 1) + ": " + error.what());
        }
      }
    }
    if (e.hysteretic && fit_damping) {
      // The loops' share of the damping curve: Rayleigh gives the rest.
      std::vector<double> strain, target;
      if (sub.soil.model == column::Model::Table) {
        strain = sub.soil.set->damping.strain_pct;
        for (double d : sub.soil.set->damping.value) target.push_back(d - e.xi);
      } else {
        for (int k = 0; k <= 20; ++k) {
          strain.push_back(1e-4 * std::pow(10.0, k / 4.0));
          target.push_back(column::soil_props(sub.soil, strain.back()).damping - e.xi);
        }
      }
      try {
        const MrdfFit f = fit_mrdf(e, strain, target);
        e.p1 = f.p1, e.p2 = f.p2, e.p3 = f.p3, e.damping_fit_error = f.error;
      } catch (const korvo::Error& error) {
        const std::string name =
            sub.soil.set ? "curves '" + sub.soil.set->name + "'" : "the Darendeli curves";
        throw korvo::Error(name + ": " + error.what());
      }
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
