#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <string>

#include "korvo.h"
#include "rvt/rvt.h"

namespace korvo::rvt {

namespace {

constexpr double PI_D = 3.14159265358979323846;
constexpr double LN10 = 2.302585092994046;

std::string num(double x) {
  char b[32];
  std::snprintf(b, sizeof b, "%.6g", x);
  return b;
}

void check(const Target& t, const CompatibleOptions& o) {
  if (t.periods.empty()) throw Error("target: periods needs at least one entry");
  if (t.periods.size() != t.psa.size())
    throw Error("target: " + std::to_string(t.periods.size()) + " periods but " +
                std::to_string(t.psa.size()) + " psa values");
  for (std::size_t i = 0; i < t.periods.size(); ++i) {
    if (!(t.periods[i] > 0.0) || !std::isfinite(t.periods[i]))
      throw Error("target: periods[" + std::to_string(i) + "] = " + num(t.periods[i]) +
                  " (positive)");
    if (!(t.psa[i] > 0.0 && t.psa[i] <= 1e6))
      throw Error("target: psa[" + std::to_string(i) + "] = " + num(t.psa[i]) +
                  " (positive, at most 1e6 g)");
  }
  if (!(t.damping > 0.0 && t.damping < 1.0))
    throw Error("target: damping must lie between 0 and 1 (a fraction), got " + num(t.damping));
  if (!(t.duration > 0.0) || !std::isfinite(t.duration))
    throw Error("target: duration must be positive, got " + num(t.duration));
  if (!(o.tolerance > 0.0) || !std::isfinite(o.tolerance))
    throw Error("inverse rvt: tolerance must be positive, got " + num(o.tolerance));
  if (o.max_iter < 1)
    throw Error("inverse rvt: max_iter must be at least 1, got " + std::to_string(o.max_iter));
}

}  // namespace

Compatible compatible_motion(const Target& target, const CompatibleOptions& options) {
  check(target, options);
  const std::size_t n = target.periods.size();
  // Control points by increasing frequency; `order[k]` is the target's index.
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return target.periods[a] > target.periods[b]; });
  std::vector<double> fr(n), want(n), Tn(n), A(n);
  for (std::size_t k = 0; k < n; ++k) {
    Tn[k] = target.periods[order[k]];
    fr[k] = 1.0 / Tn[k];
    want[k] = target.psa[order[k]];
    if (k > 0 && !(fr[k] > fr[k - 1]))
      throw Error("target: period " + num(Tn[k]) + " s is listed twice");
  }
  // Resonance alone: m0 = 2 A(fn)^2 pi fn / (4 zeta), PSA = pf sqrt(m0 / Trms),
  // with Davenport's pf over 2 fn Tgm crossings and Trms = Tgm.
  const double T = target.duration, zeta = target.damping;
  for (std::size_t k = 0; k < n; ++k) {
    const double s = std::sqrt(2.0 * std::log(std::max(2.0 * fr[k] * T, 2.1)));
    A[k] = want[k] / (s + 0.5772 / s) * std::sqrt(2.0 * zeta * T / (PI_D * fr[k]));
  }

  Compatible out;
  out.motion.frequency = grid_frequencies(options.grid);
  out.motion.duration = T;
  const std::vector<double>& f = out.motion.frequency;
  std::vector<double>& a = out.motion.amplitude;
  a.resize(f.size());
  std::vector<double> got, last_got(n), last_step(n, 0.0), slope(n, 1.0);
  for (int it = 1;; ++it) {
    std::size_t j = 1;  // the control points' bracket of f: [j - 1, j]
    for (std::size_t i = 0; i < f.size(); ++i) {
      if (f[i] <= fr.front()) {
        a[i] = A.front() * (f[i] / fr.front()) * (f[i] / fr.front());
      } else if (f[i] >= fr.back()) {
        a[i] = A.back() * (fr.back() / f[i]) * (fr.back() / f[i]);
      } else {
        while (fr[j] < f[i]) ++j;
        const double s = std::log(f[i] / fr[j - 1]) / std::log(fr[j] / fr[j - 1]);
        a[i] = A[j - 1] * std::pow(A[j] / A[j - 1], s);
      }
    }
    got = psa(prepare(out.motion, options.grid), Tn, zeta, options.method);
    out.iterations = it;
    bool within = true;
    for (std::size_t k = 0; k < n; ++k)
      within = within && std::abs(got[k] / want[k] - 1.0) <= options.tolerance;
    if (within || it == options.max_iter) {
      out.converged = within;
      break;
    }
    // A short period's PSA tends to the PGA, which its own frequency barely
    // moves: its step is stretched by the sensitivity d ln PSA / d ln A seen
    // over the last step (1 where resonance rules, neighbours moving alike),
    // held to [0.1, 1] so that no step grows more than tenfold. A target no
    // spectrum meets (1e-9 g at 0.11 s between 1 g at 0.1 and 0.12 s) would
    // drive its amplitude to 0 or past the doubles: at most a factor 10 a
    // pass, and amplitudes kept within 1e+-100 g s, so that it ends
    // unconverged with its misfit rather than in NaN.
    for (std::size_t k = 0; k < n; ++k) {
      const double step = std::log(want[k] / got[k]);
      if (it > 1 && std::abs(last_step[k]) > 1e-6)
        slope[k] = std::clamp(std::log(got[k] / last_got[k]) / last_step[k], 0.1, 1.0);
      last_step[k] = std::clamp(step / slope[k], -LN10, LN10);
      last_got[k] = got[k];
      A[k] = std::clamp(A[k] * std::exp(last_step[k]), 1e-100, 1e100);
    }
  }
  out.psa.resize(n);
  out.misfit.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    out.psa[order[k]] = got[k];
    out.misfit[order[k]] = got[k] / want[k] - 1.0;
  }
  return out;
}

}  // namespace korvo::rvt
