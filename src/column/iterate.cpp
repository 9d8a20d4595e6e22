#include <algorithm>
#include <cmath>
#include <deque>

#include "column/column.h"

namespace korvo::column {

namespace {

// Strains (%) below this are taken as this: the logarithm needs a floor, and
// no curve changes there.
constexpr double STRAIN_FLOOR = 1e-10;
// Damping changes are measured relative to at least this (0.1 %), so that a
// nearly undamped sublayer does not hold the iteration on changes of nothing.
constexpr double DAMPING_FLOOR = 1e-3;
// Iterates are kept within these log-strains: an extrapolating step must not
// leave the range where the curves mean anything.
const double X_LOW = std::log(1e-8), X_HIGH = std::log(100.0);
// Step in log-strain for the slopes of the curves.
constexpr double SLOPE_STEP = 0.01;
constexpr int ANDERSON_DEPTH = 5;
constexpr int RATES_KEPT = 5;
// The distance estimate is first order and its contraction rate is measured
// along the path taken; against runs converged to 1e-11 it came out low by up
// to a factor 1.9 (in the early iterations), so the rule stops at half the
// tolerance.
constexpr double MARGIN = 0.5;

using Vec = std::vector<double>;

double max_abs_diff(const Vec& a, const Vec& b) {
  double m = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

// Anderson mixing (type II) on the active log-strains: the next iterate is the
// combination of the last few images g(x_j) whose residuals g(x_j) - x_j
// cancel best in the least-squares sense.
class Anderson {
 public:
  void reset() {
    X_.clear();
    G_.clear();
  }

  Vec step(const Vec& x, const Vec& g) {
    X_.push_back(x);
    G_.push_back(g);
    if (X_.size() > ANDERSON_DEPTH + 1) {
      X_.pop_front();
      G_.pop_front();
    }
    const std::size_t n = x.size();
    for (;;) {
      const std::size_t k = X_.size() - 1;
      if (k == 0) return g;
      // Columns of differences of residuals (dF) and of images (dG).
      std::vector<Vec> dF(k, Vec(n)), dG(k, Vec(n));
      for (std::size_t j = 0; j < k; ++j)
        for (std::size_t i = 0; i < n; ++i) {
          const double f1 = G_[j + 1][i] - X_[j + 1][i], f0 = G_[j][i] - X_[j][i];
          dF[j][i] = f1 - f0;
          dG[j][i] = G_[j + 1][i] - G_[j][i];
        }
      // Least squares by modified Gram-Schmidt; a nearly dependent column
      // drops the oldest pair and starts again.
      std::vector<Vec> Q = dF;
      std::vector<Vec> R(k, Vec(k, 0.0));
      bool dependent = false;
      for (std::size_t j = 0; j < k && !dependent; ++j) {
        double norm0 = 0.0;
        for (double v : Q[j]) norm0 += v * v;
        for (std::size_t l = 0; l < j; ++l) {
          double d = 0.0;
          for (std::size_t i = 0; i < n; ++i) d += Q[l][i] * Q[j][i];
          R[l][j] = d;
          for (std::size_t i = 0; i < n; ++i) Q[j][i] -= d * Q[l][i];
        }
        double norm = 0.0;
        for (double v : Q[j]) norm += v * v;
        if (!(norm > 1e-20 * norm0) || norm == 0.0) {
          dependent = true;
          break;
        }
        R[j][j] = std::sqrt(norm);
        for (double& v : Q[j]) v /= R[j][j];
      }
      if (dependent) {
        X_.pop_front();
        G_.pop_front();
        continue;
      }
      Vec fk(n);
      for (std::size_t i = 0; i < n; ++i) fk[i] = g[i] - x[i];
      Vec theta(k);
      for (std::size_t j = 0; j < k; ++j) {
        double d = 0.0;
        for (std::size_t i = 0; i < n; ++i) d += Q[j][i] * fk[i];
        theta[j] = d;
      }
      for (std::size_t j = k; j-- > 0;) {
        for (std::size_t l = j + 1; l < k; ++l) theta[j] -= R[j][l] * theta[l];
        theta[j] /= R[j][j];
      }
      Vec next = g;
      for (std::size_t j = 0; j < k; ++j)
        for (std::size_t i = 0; i < n; ++i) next[i] -= dG[j][i] * theta[j];
      return next;
    }
  }

 private:
  std::deque<Vec> X_, G_;
};

}  // namespace

Outcome iterate(const std::vector<Soil>& soils, const Options& opt,
                const StrainResponse& response) {
  const std::size_t L = soils.size();
  std::vector<std::size_t> act;  // sublayers whose properties depend on strain
  for (std::size_t i = 0; i < L; ++i)
    if (soils[i].model != Model::Linear) act.push_back(i);
  const std::size_t n = act.size();

  auto props_of = [&](const Vec& x) {
    std::vector<Props> P(L);
    for (std::size_t i = 0; i < L; ++i) P[i] = small_strain_props(soils[i]);
    for (std::size_t j = 0; j < n; ++j) P[act[j]] = soil_props(soils[act[j]], std::exp(x[j]));
    return P;
  };
  // Log effective strains of the active sublayers from one response.
  auto image = [&](const std::vector<Props>& P) {
    const Vec peaks = response(P);
    Vec g(n);
    for (std::size_t j = 0; j < n; ++j)
      g[j] = std::log(std::max(opt.strain_ratio * peaks[act[j]], STRAIN_FLOOR));
    return g;
  };
  // Largest relative changes from the properties used to those of the strains found.
  auto changes = [&](const std::vector<Props>& P, const std::vector<Props>& Q, IterationRow& row) {
    for (std::size_t i = 0; i < L; ++i) {
      const double dg = std::fabs(Q[i].g_ratio - P[i].g_ratio) / P[i].g_ratio;
      const double dd =
          std::fabs(Q[i].damping - P[i].damping) / std::max(P[i].damping, DAMPING_FLOOR);
      if (dg > row.change_g || row.at_g < 0) row.change_g = dg, row.at_g = static_cast<int>(i);
      if (dd > row.change_d || row.at_d < 0) row.change_d = dd, row.at_d = static_cast<int>(i);
    }
  };

  Outcome out;
  std::vector<Props> P(L);
  for (std::size_t i = 0; i < L; ++i) P[i] = small_strain_props(soils[i]);
  Vec g = image(P);
  IterationRow first;
  first.iteration = 1;
  changes(P, props_of(g), first);
  out.props = P;
  if (first.change_g == 0.0 && first.change_d == 0.0) {
    // The small-strain state reproduces itself: nothing to iterate.
    first.distance = 0.0;
    out.rows.push_back(first);
    out.converged = true;
    return out;
  }
  out.rows.push_back(first);

  Anderson anderson;
  Vec x = g, x_prev, g_prev;
  double f_prev = -1.0;
  std::deque<double> rates;
  for (int k = 2; k <= opt.max_iter; ++k) {
    P = props_of(x);
    g = image(P);
    const std::vector<Props> Q = props_of(g);
    IterationRow row;
    row.iteration = k;
    changes(P, Q, row);
    const double fn = max_abs_diff(g, x);

    // Contraction of the map x -> g along the path taken: a secant estimate,
    // the largest of the last few kept.
    if (!x_prev.empty()) {
      const double dx = max_abs_diff(x, x_prev);
      if (dx > 0.0) rates.push_back(max_abs_diff(g, g_prev) / dx);
      if (rates.size() > RATES_KEPT) rates.pop_front();
    }
    if (!rates.empty()) {
      const double rate = *std::max_element(rates.begin(), rates.end());
      row.contraction = rate;
      if (rate < 1.0) {
        // |x - x*| <= |g - x| + rate |x - x*|, so the log-strain of each
        // sublayer is within |f_i| + rate/(1 - rate) |f|max of the fixed point;
        // the curves' slopes carry that to G and damping.
        const double extra = rate / (1.0 - rate) * fn;
        double distance = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
          const std::size_t i = act[j];
          double sg = 0.0, sd = 0.0;
          for (double at : {x[j], g[j]})
            for (double h : {SLOPE_STEP, -SLOPE_STEP}) {
              const Props a = soil_props(soils[i], std::exp(at)),
                          b = soil_props(soils[i], std::exp(at + h));
              sg = std::max(sg, std::fabs(b.g_ratio - a.g_ratio) / SLOPE_STEP);
              sd = std::max(sd, std::fabs(b.damping - a.damping) / SLOPE_STEP);
            }
          const double dg = (std::fabs(Q[i].g_ratio - P[i].g_ratio) + sg * extra) / P[i].g_ratio;
          const double dd = (std::fabs(Q[i].damping - P[i].damping) + sd * extra) /
                            std::max(P[i].damping, DAMPING_FLOOR);
          distance = std::max({distance, dg, dd});
        }
        row.distance = distance;
      }
    }
    out.rows.push_back(row);
    out.props = P;
    if (row.distance >= 0.0 && row.distance <= MARGIN * opt.tol) {
      out.converged = true;
      return out;
    }

    Vec next = g;
    if (opt.accelerate) {
      // A growing residual means the mixing has gone astray: start afresh.
      if (f_prev >= 0.0 && fn > f_prev) anderson.reset();
      next = anderson.step(x, g);
    }
    f_prev = fn;
    x_prev = x;
    g_prev = g;
    for (double& v : next) v = std::clamp(v, X_LOW, X_HIGH);
    x = next;
  }
  return out;
}

}  // namespace korvo::column
