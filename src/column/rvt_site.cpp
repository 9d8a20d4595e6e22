#include "column/rvt_site.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include "column/wave.h"

namespace korvo::column {

namespace {

using namespace wave;

// The transfer functions on circular frequencies w, into reused rows.
struct Walk {
  std::vector<C> E, F, H;         // per frequency; H = surface over input
  std::vector<std::vector<C>> S;  // per sublayer and frequency: strain per m/s^2 of input
  std::vector<C> V;               // complex velocities, the half-space last
  std::vector<C> U;               // -i / V* per sublayer
};

void walk(const std::vector<Sublayer>& subs, const HalfSpace& half, const std::vector<Props>& P,
          const std::vector<double>& w, ComplexModulus modulus, InputKind input, Walk& k) {
  const std::size_t L = subs.size(), NF = w.size();
  if (input == InputKind::Within &&
      std::all_of(P.begin(), P.end(), [](const Props& x) { return x.damping == 0.0; }))
    throw Error(
        "a within input needs damping in the column: undamped, its resonances make the surface "
        "motion unbounded");
  k.V.resize(L + 1);
  for (std::size_t m = 0; m < L; ++m)
    k.V[m] = complex_velocity(modulus, subs[m].vs0 * std::sqrt(P[m].g_ratio), P[m].damping);
  k.V[L] = complex_velocity(modulus, half.vs, half.damping);
  k.U.resize(L);
  for (std::size_t m = 0; m < L; ++m) k.U[m] = C{0.0, -1.0} / k.V[m];
  k.E.assign(NF, {1.0, 0.0});
  k.F.assign(NF, {1.0, 0.0});
  k.H.resize(NF);
  k.S.resize(L);
  const double half_rho = half.unit_weight / GRAVITY;
  // u = E e^{ikz} + F e^{-ikz} in each sublayer, z from its top, k = w / V*,
  // E = F = 1 at the free surface; across an interface
  // E' = (sum + alpha diff) / 2, F' = (sum - alpha diff) / 2 of the values at
  // the bottom, alpha = rho V* above over rho V* below.
  for (std::size_t m = 0; m < L; ++m) {
    const double rho1 = m + 1 < L ? subs[m + 1].rho : half_rho;
    const C alpha = scale(subs[m].rho, k.V[m]) / scale(rho1, k.V[m + 1]);
    const C c = C{subs[m].thickness / 2.0, 0.0} / k.V[m];  // half the sublayer's phase per w
    auto& S = k.S[m];
    S.resize(NF);
    for (std::size_t f = 0; f < NF; ++f) {
      // p = e^{i w c}, q = 1/p, from one exponential and one sine/cosine.
      const double grow = std::exp(-w[f] * c.im), cs = std::cos(w[f] * c.re),
                   sn = std::sin(w[f] * c.re);
      const C p{grow * cs, grow * sn}, q{cs / grow, -sn / grow};
      const C ep = k.E[f] * p, fq = k.F[f] * q;
      S[f] = ep - fq;
      const C eb = ep * p, fb = fq * q;
      const C sum = eb + fb, ad = alpha * (eb - fb);
      k.E[f] = scale(0.5, sum + ad);
      k.F[f] = scale(0.5, sum - ad);
    }
  }
  for (std::size_t f = 0; f < NF; ++f) {
    const C inp = input == InputKind::Outcrop ? scale(2.0, k.E[f]) : k.E[f] + k.F[f];
    // Past the range of doubles the column passes nothing (as Analysis):
    // the surface and strains there are nil.
    if (!(norm2(inp) < 1e300) || w[f] == 0.0) {
      k.H[f] = norm2(inp) < 1e300 ? C{2.0, 0.0} / inp : C{0.0, 0.0};
      for (auto& S : k.S) S[f] = {0.0, 0.0};
      continue;
    }
    k.H[f] = C{2.0, 0.0} / inp;
    // Strain = i k (E p - F q) per unit displacement; the input's
    // acceleration is -w^2 inp: -i (E p - F q) / (w V* inp).
    const C per_input = C{1.0, 0.0} / scale(w[f], inp);
    for (std::size_t m = 0; m < L; ++m) k.S[m][f] = k.S[m][f] * per_input * k.U[m];
  }
}

}  // namespace

ColumnTransfer column_transfer(const std::vector<Sublayer>& subs, const HalfSpace& halfspace,
                               const std::vector<Props>& props,
                               const std::vector<double>& frequency, ComplexModulus modulus,
                               InputKind input) {
  if (subs.empty()) throw Error("column transfer: subs is empty");
  if (props.size() != subs.size())
    throw Error("column transfer: props has " + std::to_string(props.size()) + " entries for " +
                std::to_string(subs.size()) + " sublayers");
  for (std::size_t m = 0; m < props.size(); ++m)
    if (!(props[m].g_ratio > 0.0) || !(props[m].damping >= 0.0 && props[m].damping < 1.0))
      throw Error("column transfer: props[" + std::to_string(m) +
                  "] needs G/Gmax > 0 and damping in [0, 1)");
  std::vector<double> w(frequency.size());
  for (std::size_t i = 0; i < w.size(); ++i) {
    if (!(frequency[i] >= 0.0) || !std::isfinite(frequency[i]))
      throw Error("column transfer: frequency[" + std::to_string(i) + "] must be finite and >= 0");
    w[i] = 2.0 * PI_D * frequency[i];
  }
  Walk k;
  walk(subs, halfspace, props, w, modulus, input, k);
  ColumnTransfer out;
  out.surface.reserve(w.size());
  for (const C& h : k.H) out.surface.emplace_back(h.re, h.im);
  out.strain.resize(subs.size());
  for (std::size_t m = 0; m < subs.size(); ++m)
    for (const C& s : k.S[m]) out.strain[m].emplace_back(s.re, s.im);
  return out;
}

RvtSiteResult rvt_site(const std::vector<Sublayer>& subs, const HalfSpace& halfspace,
                       const rvt::Motion& motion, const RvtSiteOptions& options) {
  if (subs.empty()) throw Error("rvt site: subs is empty");
  const Options& opt = options.column;
  if (!(opt.strain_ratio > 0.0 && opt.strain_ratio <= 1.0))
    throw Error("rvt site: strain_ratio must lie in (0, 1], got " + shortest(opt.strain_ratio));
  const rvt::Prepared in = rvt::prepare(motion, options.grid);
  const std::vector<double> f = rvt::grid_frequencies(options.grid);
  const double T = in.duration;
  const std::size_t L = subs.size(), NF = in.omega.size();

  Walk k;
  rvt::Prepared out{in.omega, std::vector<double>(NF), T};  // reused for every spectrum
  // Strain per m/s^2 of input to % per g: the strain FAS is then in % s.
  const double to_pct = 100.0 * GRAVITY;
  // A sublayer's peak strain (%) by the motion's peak factor over the
  // ground-motion duration.
  auto peak_strain = [&](std::size_t m) {
    for (std::size_t i = 0; i < NF; ++i)
      out.energy[i] = in.energy[i] * norm2(k.S[m][i]) * to_pct * to_pct;
    const rvt::Moments mo = rvt::moments(out, 0.0);
    if (!(mo.m0 > 0.0)) return 0.0;
    return rvt::peak_factor(options.peaks.peak, mo, T) * std::sqrt(mo.m0 / T);
  };
  // The iteration's last response was made with the properties it returns:
  // the final state reuses that walk instead of repeating it.
  std::vector<Props> walked;
  auto same = [](const std::vector<Props>& a, const std::vector<Props>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](const Props& x, const Props& y) {
             return x.g_ratio == y.g_ratio && x.damping == y.damping;
           });
  };
  auto peaks = [&](const std::vector<Props>& P) {
    if (!same(P, walked)) walk(subs, halfspace, P, in.omega, opt.modulus, opt.input, k);
    walked = P;
    std::vector<double> p(L);
    for (std::size_t m = 0; m < L; ++m) p[m] = peak_strain(m);
    return p;
  };

  std::vector<Soil> soils;
  for (const auto& s : subs) soils.push_back(s.soil);
  const auto start = std::chrono::steady_clock::now();
  Outcome outcome;
  if (opt.method == Method::Linear) {
    for (const Soil& s : soils) outcome.props.push_back(small_strain_props(s));
    outcome.converged = true;
  } else {
    outcome = iterate(soils, opt, peaks);
  }
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;

  RvtSiteResult r;
  r.props = outcome.props;
  r.rows = std::move(outcome.rows);
  r.converged = outcome.converged;
  r.iterations = static_cast<int>(r.rows.size());
  r.seconds = spent.count();
  r.duration = T;
  r.strain_peak = peaks(r.props);
  for (std::size_t m = 0; m < L; ++m) {
    r.strain_eff.push_back(opt.strain_ratio * r.strain_peak[m]);
    // tau = G* gamma with a constant G* = rho V*^2 (kPa): the stress FAS is
    // the strain's times |G*|, and its peak the same multiple.
    const C G = scale(subs[m].rho, k.V[m] * k.V[m]);
    r.stress_peak.push_back(std::sqrt(norm2(G)) * r.strain_peak[m] / 100.0);
  }

  const double h = std::log(options.grid.f_max / options.grid.f_min) / static_cast<double>(NF - 1);
  r.frequency = f;
  r.input_fas.resize(NF);
  r.surface_fas.resize(NF);
  r.transfer.resize(NF);
  for (std::size_t i = 0; i < NF; ++i) {
    // prepare() folded 2 f and the trapezoid weight into the energy; undone here.
    const double weight = (i == 0 || i + 1 == NF) ? 0.5 * h : h;
    r.input_fas[i] = std::sqrt(in.energy[i] / (2.0 * f[i] * weight));
    r.surface_fas[i] = r.input_fas[i] * std::sqrt(norm2(k.H[i]));
    r.transfer[i] = {k.H[i].re, k.H[i].im};
    out.energy[i] = in.energy[i] * norm2(k.H[i]);
  }

  r.periods = options.periods;
  if (r.periods.empty())
    for (int i = 0; i < 100; ++i) r.periods.push_back(0.01 * std::pow(1000.0, i / 99.0));
  r.input_psa = rvt::psa(in, r.periods, options.damping, options.peaks);
  r.surface_psa = rvt::psa(out, r.periods, options.damping, options.peaks);
  r.input_pga = rvt::pga(in, options.peaks);
  r.surface_pga = rvt::pga(out, options.peaks);
  for (std::size_t j = 0; j < r.periods.size(); ++j)
    r.amplification.push_back(r.surface_psa[j] / r.input_psa[j]);  // psa refused m0 = 0

  auto finite = [](const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
  };
  if (!finite(r.strain_peak) || !finite(r.stress_peak) || !finite(r.surface_psa) ||
      !std::isfinite(r.surface_pga))
    throw Error("rvt site: the response is not finite: check the profile's velocities and damping");
  return r;
}

}  // namespace korvo::column
