#include "column/fdeql.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include "column/wave.h"
#include "motion/fftw.h"

namespace korvo::column {

namespace {

using namespace wave;

// As the time-domain iteration: damping changes relative to at least 0.1 %.
constexpr double DAMPING_FLOOR = 1e-3;

// Strains (%) below this are taken as this, as in the time-domain iteration.
constexpr double STRAIN_LOW = 1e-8;
constexpr double STRAIN_HIGH = 100.0;
// Step in ln-strain of the tables below: linear interpolation over it errs
// by about 1e-5 in G/Gmax for Darendeli's curves.
constexpr double TABLE_STEP = 0.02;

// A sublayer's curves on a grid in ln-strain, filled as strains come: the
// frequencies above the mean take thousands of strains per response, all
// from the same curves.
class CurveTable {
 public:
  explicit CurveTable(const Soil& soil)
      : soil_(soil),
        x0_(std::log(STRAIN_LOW)),
        props_(static_cast<std::size_t>((std::log(STRAIN_HIGH) - x0_) / TABLE_STEP) + 2),
        have_(props_.size(), 0) {}

  Props exact(double x) const { return soil_props(soil_, std::exp(x)); }

  Props at(double x) {
    const double u =
        std::clamp((x - x0_) / TABLE_STEP, 0.0, static_cast<double>(props_.size() - 2));
    const auto k = static_cast<std::size_t>(u);
    const double t = u - static_cast<double>(k);
    const Props &a = node(k), &b = node(k + 1);
    return {a.g_ratio + t * (b.g_ratio - a.g_ratio), a.damping + t * (b.damping - a.damping)};
  }

 private:
  const Props& node(std::size_t k) {
    if (!have_[k]) {
      props_[k] = soil_props(soil_, std::exp(x0_ + static_cast<double>(k) * TABLE_STEP));
      have_[k] = 1;
    }
    return props_[k];
  }
  Soil soil_;
  double x0_;
  std::vector<Props> props_;
  std::vector<char> have_;
};

// Anderson mixing (type II) on the log effective strains, as the
// time-domain iteration does: the next strains combine the last few images
// whose residuals cancel best in least squares. A residual that grows
// restarts the history with a plain step.
class Mixing {
 public:
  // The strains for the next response, given the image of the last ones.
  std::vector<double> step(const std::vector<double>& image) {
    if (!x_.empty()) {
      std::vector<double> res(image.size());
      for (std::size_t m = 0; m < res.size(); ++m) res[m] = image[m] - x_.back()[m];
      if (!r_.empty() && norm(res) > norm(r_.back())) {
        x_.clear();
        g_.clear();
        r_.clear();
      } else {
        g_.push_back(image);
        r_.push_back(res);
      }
    }
    std::vector<double> next = image;
    const std::size_t k = r_.size();
    if (k >= 2) {
      // Columns of differences of residuals and of images, newest last.
      const std::size_t n = image.size(), c = k - 1;
      std::vector<double> M(c * c, 0.0), b(c, 0.0);
      auto dr = [&](std::size_t j, std::size_t m) { return r_[j + 1][m] - r_[j][m]; };
      for (std::size_t a = 0; a < c; ++a) {
        for (std::size_t e = 0; e < c; ++e)
          for (std::size_t m = 0; m < n; ++m) M[a * c + e] += dr(a, m) * dr(e, m);
        for (std::size_t m = 0; m < n; ++m) b[a] += dr(a, m) * r_.back()[m];
      }
      std::vector<double> gamma;
      if (solve(M, b, c, gamma))
        for (std::size_t j = 0; j < c; ++j)
          for (std::size_t m = 0; m < n; ++m) next[m] -= gamma[j] * (g_[j + 1][m] - g_[j][m]);
    }
    for (double& v : next) v = std::clamp(v, std::log(STRAIN_LOW), std::log(STRAIN_HIGH));
    x_.push_back(next);
    if (x_.size() > DEPTH + 1) x_.erase(x_.begin());
    if (g_.size() > DEPTH + 1) g_.erase(g_.begin()), r_.erase(r_.begin());
    return next;
  }

 private:
  static constexpr std::size_t DEPTH = 5;
  static double norm(const std::vector<double>& v) {
    double s = 0.0;
    for (double x : v) s += x * x;
    return s;
  }
  // Gaussian elimination with partial pivoting on the c x c normal
  // equations, slightly regularised; false when singular.
  static bool solve(std::vector<double> M, std::vector<double> b, std::size_t c,
                    std::vector<double>& x) {
    double trace = 0.0;
    for (std::size_t a = 0; a < c; ++a) trace += M[a * c + a];
    if (!(trace > 0.0)) return false;
    for (std::size_t a = 0; a < c; ++a) M[a * c + a] += 1e-12 * trace;
    for (std::size_t col = 0; col < c; ++col) {
      std::size_t piv = col;
      for (std::size_t row = col + 1; row < c; ++row)
        if (std::fabs(M[row * c + col]) > std::fabs(M[piv * c + col])) piv = row;
      if (M[piv * c + col] == 0.0) return false;
      if (piv != col) {
        for (std::size_t e = 0; e < c; ++e) std::swap(M[col * c + e], M[piv * c + e]);
        std::swap(b[col], b[piv]);
      }
      for (std::size_t row = col + 1; row < c; ++row) {
        const double f = M[row * c + col] / M[col * c + col];
        for (std::size_t e = col; e < c; ++e) M[row * c + e] -= f * M[col * c + e];
        b[row] -= f * b[col];
      }
    }
    x.assign(c, 0.0);
    for (std::size_t a = c; a-- > 0;) {
      double s = b[a];
      for (std::size_t e = a + 1; e < c; ++e) s -= M[a * c + e] * x[e];
      x[a] = s / M[a * c + a];
    }
    return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
  }
  std::vector<std::vector<double>> x_, g_, r_;  // strains used, their images, residuals
};

}  // namespace

double StrainShape::at(double f) const {
  if (exponent == 0.0 || !(f > f_mean)) return 1.0;
  return std::pow(f_mean / f, exponent);
}

namespace {

// strain_shape with the logarithms of the frequencies at hand (ln_f[0] unused).
StrainShape shape_of(const std::vector<double>& f, const std::vector<double>& ln_f,
                     const std::vector<double>& amp, Smoothing smoothing) {
  StrainShape s;
  if (smoothing == Smoothing::Flat) return s;
  // The mean frequency weighted by amplitude, over the bins above 0 Hz.
  double sum = 0.0, moment = 0.0;
  for (std::size_t i = 1; i < f.size(); ++i) {
    sum += amp[i];
    moment += f[i] * amp[i];
  }
  if (!(sum > 0.0)) return s;
  s.f_mean = moment / sum;
  // The level up to f_mean is the mean amplitude there; beyond it
  // ln(amp / level) = -n ln(f / f_mean) in least squares through that point.
  double level = 0.0;
  int below = 0;
  for (std::size_t i = 1; i < f.size() && f[i] <= s.f_mean; ++i, ++below) level += amp[i];
  if (below == 0 || !(level > 0.0)) return s;
  level /= below;
  const double ln_mean = std::log(s.f_mean), ln_level = std::log(level);
  // Each bin weighs 1/f: every ratio of frequencies counts alike, as the
  // linearly spaced bins would otherwise let the highest decade decide.
  double xy = 0.0, xx = 0.0;
  for (std::size_t i = 1; i < f.size(); ++i) {
    if (!(f[i] > s.f_mean) || !(amp[i] > 0.0)) continue;
    const double x = ln_f[i] - ln_mean, y = std::log(amp[i]) - ln_level;
    xy += x * y / f[i];
    xx += x * x / f[i];
  }
  // A spectrum that rises beyond its mean frequency keeps one strain: the
  // method only ever lowers the strain of the higher frequencies.
  if (xx > 0.0) s.exponent = std::max(0.0, -xy / xx);
  return s;
}

}  // namespace

StrainShape strain_shape(const std::vector<double>& f, const std::vector<double>& amp,
                         Smoothing smoothing) {
  std::vector<double> ln_f(f.size(), 0.0);
  for (std::size_t i = 1; i < f.size(); ++i) ln_f[i] = std::log(f[i]);
  return shape_of(f, ln_f, amp, smoothing);
}

FdResult fd_eql(const std::vector<Sublayer>& subs, const HalfSpace& half, const Motion& motion,
                const FdOptions& options) {
  const Options& opt = options.column;
  if (subs.empty()) throw Error("the profile has no layers");
  if (motion.a.size() < 2 || !(motion.dt > 0.0))
    throw Error("the record needs two samples and dt > 0");
  if (!std::all_of(motion.a.begin(), motion.a.end(), [](double a) { return std::isfinite(a); }))
    throw Error("the record holds a value that is not finite");
  if (!(opt.strain_ratio > 0.0 && opt.strain_ratio <= 1.0))
    throw Error("the strain ratio must lie in (0, 1], not " + shortest(opt.strain_ratio));
  if (!(opt.tol > 0.0) || opt.max_iter < 1)
    throw Error("the tolerance must be > 0 and max_iter at least 1");

  const int N =
      static_cast<int>(transform_length(static_cast<long>(motion.a.size()), motion.dt, opt));
  const std::size_t NF = static_cast<std::size_t>(N) / 2 + 1, L = subs.size();
  const std::size_t n = motion.a.size();
  auto time = fftw::array<double>(static_cast<std::size_t>(N));
  auto freq = fftw::array<fftw_complex>(NF);
  const fftw::Plan forward = fftw::plan_r2c(N, time.get(), freq.get());
  const fftw::Plan inverse = fftw::plan_c2r(N, freq.get(), time.get());
  std::fill(time.get(), time.get() + N, 0.0);
  std::copy(motion.a.begin(), motion.a.end(), time.get());
  fftw_execute_dft_r2c(forward.get(), time.get(), freq.get());
  std::vector<C> A(NF);
  for (std::size_t i = 0; i < NF; ++i) A[i] = {freq[i][0], freq[i][1]};

  FdResult r;
  r.frequency.resize(NF);
  const double df = 1.0 / (N * motion.dt);
  std::vector<double> w(NF);
  for (std::size_t i = 0; i < NF; ++i) {
    r.frequency[i] = static_cast<double>(i) * df;
    w[i] = 2.0 * PI_D * r.frequency[i];
  }
  const bool any_damping = half.damping > 0.0 || std::any_of(subs.begin(), subs.end(), [](auto& s) {
                             return small_strain_props(s.soil).damping > 0.0;
                           });
  if (opt.input == InputKind::Within && !any_damping)
    throw Error(
        "a within input needs damping in the column: undamped, its resonances make the surface "
        "motion unbounded");

  // Bin by bin, the sublayers side by side: the walk goes down the column at
  // each frequency.
  std::vector<Props> PB(NF * L);
  for (std::size_t i = 0; i < NF; ++i)
    for (std::size_t m = 0; m < L; ++m) PB[i * L + m] = small_strain_props(subs[m].soil);
  const double half_rho = half.unit_weight / GRAVITY;
  const C v_half = complex_velocity(opt.modulus, half.vs, half.damping);
  std::vector<C> SB(NF * L);  // strain per m/s^2 of input
  std::vector<C> H(NF);

  // One response: the surface over input and every sublayer's mid-depth
  // strain per m/s^2 of input, each frequency with its own properties.
  std::vector<C> V(L + 1), R(L + 1);
  std::vector<std::pair<C, C>> EF;  // the waves at each top, kept by the last response
  auto respond = [&](bool keep) {
    if (keep) EF.resize(NF * (L + 1));
    for (std::size_t i = 0; i < NF; ++i) {
      for (std::size_t m = 0; m < L; ++m)
        V[m] = complex_velocity(opt.modulus, subs[m].vs0 * std::sqrt(PB[i * L + m].g_ratio),
                                PB[i * L + m].damping);
      V[L] = v_half;
      // One reciprocal per sublayer serves its phase, its strain and the
      // impedance ratio of the interface above it.
      if (opt.modulus == ComplexModulus::Velocity) {
        // 1 / (v (1 + i xi)) = (1 - i xi) / (v (1 + xi^2)).
        for (std::size_t m = 0; m <= L; ++m) {
          const double re = V[m].re / norm2(V[m]);
          R[m] = {re, -re * (V[m].im / V[m].re)};
        }
      } else {
        for (std::size_t m = 0; m <= L; ++m) R[m] = C{1.0, 0.0} / V[m];
      }
      C E{1.0, 0.0}, F{1.0, 0.0};
      for (std::size_t m = 0; m < L; ++m) {
        if (keep) EF[i * (L + 1) + m] = {E, F};
        const double rho1 = m + 1 < L ? subs[m + 1].rho : half_rho;
        const C alpha = scale(subs[m].rho / rho1, V[m] * R[m + 1]);
        const C c = scale(subs[m].thickness / 2.0, R[m]);
        const double grow = std::exp(-w[i] * c.im), cs = std::cos(w[i] * c.re),
                     sn = std::sin(w[i] * c.re);
        const C p{grow * cs, grow * sn}, q{cs / grow, -sn / grow};
        const C ep = E * p, fq = F * q;
        SB[i * L + m] = (ep - fq) * C{R[m].im, -R[m].re};  // times -i / V*
        const C eb = ep * p, fb = fq * q;
        const C sum = eb + fb, ad = alpha * (eb - fb);
        E = scale(0.5, sum + ad);
        F = scale(0.5, sum - ad);
      }
      if (keep) EF[i * (L + 1) + L] = {E, F};
      const C inp = opt.input == InputKind::Outcrop ? scale(2.0, E) : E + F;
      // Past the range of doubles the column passes nothing.
      if (!(norm2(inp) < 1e300) || w[i] == 0.0) {
        H[i] = norm2(inp) < 1e300 ? C{2.0, 0.0} / inp : C{0.0, 0.0};
        std::fill(SB.begin() + static_cast<std::ptrdiff_t>(i * L),
                  SB.begin() + static_cast<std::ptrdiff_t>(i * L + L), C{0.0, 0.0});
        continue;
      }
      H[i] = C{2.0, 0.0} / inp;
      const C per_input = C{1.0, 0.0} / scale(w[i], inp);
      for (std::size_t m = 0; m < L; ++m) SB[i * L + m] = SB[i * L + m] * per_input;
    }
  };
  // A sublayer's strain spectrum (fraction, as the transform holds it) and
  // its peak in time (%).
  std::vector<double> amp(NF);
  auto strain_history_peak = [&](std::size_t m) {
    const double to = motion.to_si;
    for (std::size_t i = 0; i < NF; ++i) {
      const C s = SB[i * L + m] * scale(to, A[i]);
      freq[i][0] = s.re;
      freq[i][1] = s.im;
      amp[i] = std::sqrt(norm2(s));
    }
    fftw_execute_dft_c2r(inverse.get(), freq.get(), time.get());
    double peak = 0.0;
    for (std::size_t t = 0; t < n; ++t) peak = std::max(peak, std::fabs(time[t]));
    return 100.0 * peak / N;
  };

  r.strain_eff.assign(L, 0.0);
  r.strain_peak.assign(L, 0.0);
  r.f_mean.assign(L, 0.0);
  r.exponent.assign(L, 0.0);
  const auto start = std::chrono::steady_clock::now();
  const bool linear = opt.method == Method::Linear;
  std::vector<double> ln_f(NF, 0.0);
  for (std::size_t i = 1; i < NF; ++i) ln_f[i] = std::log(r.frequency[i]);
  std::vector<CurveTable> tables;
  for (const Sublayer& s : subs) tables.emplace_back(s.soil);
  // Sublayer m's properties at every bin for the effective strain e^x up to
  // its mean frequency; with `row`, their largest changes are noted there.
  std::vector<StrainShape> shapes(L);
  auto fill = [&](std::size_t m, double x, IterationRow* row) {
    const StrainShape& shape = shapes[m];
    const Props top = tables[m].exact(x);
    const double ln_mean = shape.f_mean > 0.0 ? std::log(shape.f_mean) : 0.0;
    for (std::size_t i = 0; i < NF; ++i) {
      const Props q = shape.exponent > 0.0 && r.frequency[i] > shape.f_mean
                          ? tables[m].at(x - shape.exponent * (ln_f[i] - ln_mean))
                          : top;
      Props& p = PB[i * L + m];
      if (row) {
        const double dg = std::fabs(q.g_ratio - p.g_ratio) / p.g_ratio;
        const double dd = std::fabs(q.damping - p.damping) / std::max(p.damping, DAMPING_FLOOR);
        if (dg > row->change_g || row->at_g < 0)
          row->change_g = dg, row->at_g = static_cast<int>(m);
        if (dd > row->change_d || row->at_d < 0)
          row->change_d = dd, row->at_d = static_cast<int>(m);
      }
      p = q;
    }
  };
  std::vector<double> image(L);  // ln of the effective strains a response gives
  Mixing mixing;
  for (int it = 1;; ++it) {
    respond(linear);
    IterationRow row;
    row.iteration = it;
    for (std::size_t m = 0; m < L; ++m) {
      r.strain_peak[m] = strain_history_peak(m);
      const StrainShape shape = shape_of(r.frequency, ln_f, amp, options.smoothing);
      r.f_mean[m] = shape.f_mean;
      r.exponent[m] = shape.exponent;
      r.strain_eff[m] = opt.strain_ratio * r.strain_peak[m];
      if (linear) continue;
      shapes[m] = shape;
      image[m] = std::log(std::clamp(r.strain_eff[m], STRAIN_LOW, STRAIN_HIGH));
      fill(m, image[m], &row);
    }
    if (linear) {
      r.converged = true;
      break;
    }
    r.rows.push_back(row);
    if (std::max(row.change_g, row.change_d) <= opt.tol) {
      // The properties just found differ from those of the response by no
      // more than tol: one more response makes the result theirs.
      r.converged = true;
      respond(true);
      for (std::size_t m = 0; m < L; ++m) r.strain_peak[m] = strain_history_peak(m);
      break;
    }
    if (it >= opt.max_iter) {
      respond(true);
      for (std::size_t m = 0; m < L; ++m) r.strain_peak[m] = strain_history_peak(m);
      break;
    }
    // The plain step takes the properties just found; mixing takes those of
    // a combination of the last strains instead.
    if (opt.accelerate) {
      const std::vector<double> x = mixing.step(image);
      for (std::size_t m = 0; m < L; ++m)
        if (x[m] != image[m]) fill(m, x[m], nullptr);
    }
  }

  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // The peak over the record's length of the history whose transform is X.
  auto history_peak = [&](auto&& X) {
    for (std::size_t i = 0; i < NF; ++i) {
      const C s = X(i);
      freq[i][0] = s.re;
      freq[i][1] = s.im;
    }
    fftw_execute_dft_c2r(inverse.get(), freq.get(), time.get());
    double p = 0.0;
    for (std::size_t t = 0; t < n; ++t) p = std::max(p, std::fabs(time[t]));
    return p / N;
  };
  // Stress = G* strain, G* = rho V*^2 at each frequency (kPa with rho in t/m^3).
  r.stress_peak.assign(L, 0.0);
  for (std::size_t m = 0; m < L; ++m)
    r.stress_peak[m] = history_peak([&](std::size_t i) {
      const C v = complex_velocity(opt.modulus, subs[m].vs0 * std::sqrt(PB[i * L + m].g_ratio),
                                   PB[i * L + m].damping);
      return scale(subs[m].rho * motion.to_si, v * v * SB[i * L + m] * A[i]);
    });
  r.e.assign(L + 1, std::vector<std::complex<double>>(NF));
  r.f = r.e;
  r.velocity = r.e;
  for (std::size_t m = 0; m <= L; ++m)
    for (std::size_t i = 0; i < NF; ++i) {
      // Per unit input: H = 2 / inp, so E / inp = E H / 2.
      const C e = scale(0.5, EF[i * (L + 1) + m].first * H[i]),
              f = scale(0.5, EF[i * (L + 1) + m].second * H[i]);
      r.e[m][i] = {e.re, e.im};
      r.f[m][i] = {f.re, f.im};
      const C v =
          m < L ? complex_velocity(opt.modulus, subs[m].vs0 * std::sqrt(PB[i * L + m].g_ratio),
                                   PB[i * L + m].damping)
                : v_half;
      r.velocity[m][i] = {v.re, v.im};
    }
  r.pga_top.assign(L + 1, 0.0);
  for (std::size_t m = 0; m <= L; ++m)
    r.pga_top[m] = history_peak([&](std::size_t i) {
      return (C{r.e[m][i].real(), r.e[m][i].imag()} + C{r.f[m][i].real(), r.f[m][i].imag()}) * A[i];
    });

  for (std::size_t i = 0; i < NF; ++i) {
    const C s = H[i] * A[i];
    freq[i][0] = s.re;
    freq[i][1] = s.im;
  }
  fftw_execute_dft_c2r(inverse.get(), freq.get(), time.get());
  r.surface.resize(n);
  for (std::size_t t = 0; t < n; ++t) r.surface[t] = time[t] / N;
  for (double x : r.surface)
    if (!std::isfinite(x)) throw Error("the surface motion is not finite");
  r.transfer.reserve(NF);
  for (const C& h : H) r.transfer.emplace_back(h.re, h.im);
  r.input.reserve(NF);
  for (const C& a : A) r.input.emplace_back(a.re, a.im);
  r.nfft = N;
  r.samples = n;
  r.to_si = motion.to_si;
  r.halfspace_rho = half_rho;
  r.props.assign(L, std::vector<Props>(NF));
  for (std::size_t i = 0; i < NF; ++i)
    for (std::size_t m = 0; m < L; ++m) r.props[m][i] = PB[i * L + m];
  return r;
}

namespace {

enum class Quantity { Acceleration, Strain, Stress };

std::vector<double> history_at(const FdResult& r, const std::vector<Sublayer>& subs, double depth,
                               Quantity what) {
  if (r.e.empty()) throw Error("no frequency-dependent response to take a depth from");
  if (!(depth >= 0.0) || !std::isfinite(depth))
    throw Error("a depth must be finite and at least 0, not " + shortest(depth));
  const std::size_t L = subs.size(), NF = r.input.size();
  const double base = subs.back().top + subs.back().thickness;
  // The sublayer holding the depth (an interface within the snap counts as
  // the top of the one below), or the half-space.
  std::size_t m = 0;
  while (m < L && depth > subs[m].top + subs[m].thickness - INTERFACE_SNAP * base) ++m;
  const double z = std::max(0.0, depth - (m < L ? subs[m].top : base));
  const double rho = m < L ? subs[m].rho : r.halfspace_rho;
  const int N = r.nfft;
  auto time = fftw::array<double>(static_cast<std::size_t>(N));
  auto freq = fftw::array<fftw_complex>(NF);
  const fftw::Plan inverse = fftw::plan_c2r(N, freq.get(), time.get());
  using Cd = std::complex<double>;
  for (std::size_t i = 0; i < NF; ++i) {
    const double w = 2.0 * PI_D * r.frequency[i];
    const Cd v = r.velocity[m][i];
    const Cd phase = std::exp(Cd(0.0, w * z) / v);  // e^{i w z / V*}
    Cd x = 0.0;
    if (what == Quantity::Acceleration) {
      x = r.e[m][i] * phase + r.f[m][i] / phase;
    } else if (w > 0.0) {
      // The displacement is the acceleration over -w^2, and its slope i w / V*
      // times the difference of the waves: strain per unit of input
      // acceleration, in %; stress = rho V*^2 strain, in kPa.
      x = (r.e[m][i] * phase - r.f[m][i] / phase) * Cd(0.0, -1.0) / (w * v) * r.to_si;
      x *= what == Quantity::Strain ? Cd(100.0) : rho * v * v;
    }
    x *= r.input[i];
    if (!std::isfinite(x.real()) || !std::isfinite(x.imag())) x = 0.0;
    freq[i][0] = x.real();
    freq[i][1] = x.imag();
  }
  fftw_execute_dft_c2r(inverse.get(), freq.get(), time.get());
  std::vector<double> out(r.samples);
  for (std::size_t t = 0; t < r.samples; ++t) out[t] = time[t] / N;
  return out;
}

}  // namespace

std::vector<double> fd_acceleration_at(const FdResult& r, const std::vector<Sublayer>& subs,
                                       double depth) {
  return history_at(r, subs, depth, Quantity::Acceleration);
}
std::vector<double> fd_strain_at(const FdResult& r, const std::vector<Sublayer>& subs,
                                 double depth) {
  return history_at(r, subs, depth, Quantity::Strain);
}
std::vector<double> fd_stress_at(const FdResult& r, const std::vector<Sublayer>& subs,
                                 double depth) {
  return history_at(r, subs, depth, Quantity::Stress);
}

}  // namespace korvo::column
