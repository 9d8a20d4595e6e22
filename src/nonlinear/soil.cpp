#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "nonlinear/nonlinear.h"

namespace korvo::nonlinear {

namespace detail {

void backbone(const Element& e, double g, double& tau, double& tangent) {
  if (!e.hysteretic) {
    tau = e.gmax * g;
    tangent = e.gmax;
    return;
  }
  const double x = std::abs(g) * 100.0 / e.gamma_r;
  // s = 1 (the hyperbola) is common enough to spare the power.
  const double p = e.s == 1.0 ? x : (x > 0.0 ? std::pow(x, e.s) : 0.0);
  const double d = 1.0 + e.beta * p;
  tau = e.gmax * g / d;
  tangent = e.gmax * (1.0 + e.beta * (1.0 - e.s) * p) / (d * d);
}

namespace {

// Where strain g lies, seen from the committed state: whether the committed
// strain becomes a new reversal point, and how many reversal points stay
// remembered once the loops g closes are taken off.
struct Branch {
  bool reversal = false;
  std::size_t size = 0;
};

Branch locate(const Hysteresis& h, double g) {
  const std::size_t n = h.g.size();
  const double step = g - h.g_now;
  Branch b;
  b.reversal = h.direction != 0 && step != 0.0 && (step > 0.0) != (h.direction > 0);
  b.size = n + (b.reversal ? 1 : 0);
  auto rev = [&](std::size_t i) { return i < n ? h.g[i] : h.g_now; };
  // The branch from reversal k heads back to reversal k - 1, where it closes
  // the loop they make, and the path goes on along the branch from k - 2.
  // The first branch off the backbone heads to the mirror of its start:
  // Masing's rule puts the backbone there, and the path rejoins it.
  // Example: 0 -> 0.5 -> -0.2 -> 0.3 -> 0.1 -> 0.4 closes the loop
  // 0.3 -> 0.1 at 0.3 and goes on along the branch from -0.2.
  while (b.size >= 1) {
    const double from = rev(b.size - 1);
    const double to = b.size >= 2 ? rev(b.size - 2) : -rev(0);
    if (!(to > from ? g > to : g < to)) break;
    b.size -= b.size >= 2 ? 2 : 1;
  }
  return b;
}

void evaluate(const Element& e, const Hysteresis& h, const Branch& b, double g, double& tau,
              double& tangent) {
  if (b.size == 0) {
    backbone(e, g, tau, tangent);
    return;
  }
  const std::size_t k = b.size - 1;
  const bool fresh = k == h.g.size();
  const double g0 = fresh ? h.g_now : h.g[k];
  const double t0 = fresh ? h.tau_now : h.tau[k];
  double f = 0.0;
  backbone(e, (g - g0) / 2.0, f, tangent);
  tau = t0 + 2.0 * f;
}

}  // namespace

void start(const Element& e, Hysteresis& h) {
  h = Hysteresis{};
  h.tangent = e.gmax;
}

void trial(const Element& e, const Hysteresis& h, double g, double& tau, double& tangent) {
  if (!e.hysteretic) {
    tau = e.gmax * g;
    tangent = e.gmax;
    return;
  }
  evaluate(e, h, locate(h, g), g, tau, tangent);
}

void commit(const Element& e, Hysteresis& h, double g) {
  double tau = 0.0, tangent = 0.0;
  if (e.hysteretic) {
    const Branch b = locate(h, g);
    evaluate(e, h, b, g, tau, tangent);
    if (b.reversal) {
      h.g.push_back(h.g_now);
      h.tau.push_back(h.tau_now);
    }
    h.g.resize(b.size);
    h.tau.resize(b.size);
  } else {
    tau = e.gmax * g;
    tangent = e.gmax;
  }
  if (g != h.g_now) h.direction = g > h.g_now ? 1 : -1;
  h.g_now = g;
  h.tau_now = tau;
  h.tangent = tangent;
}

}  // namespace detail

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
