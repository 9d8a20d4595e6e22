#include "motion/spectra.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <type_traits>

#include "motion/fftw.h"
#include "motion/record.h"
#include "text/text.h"

namespace korvo::spectra {

namespace {

constexpr double TWO_PI = 6.283185307179586;

using M4 = std::array<std::array<double, 4>, 4>;

M4 mul(const M4& x, const M4& y) {
  M4 r{};
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 4; ++k)
      for (int j = 0; j < 4; ++j) r[i][j] += x[i][k] * y[k][j];
  return r;
}

// exp(Z) - I: Taylor series of Z / 2^s, then s doublings e^{2Y} - I = F (F + 2I).
// Working with the difference from I keeps entries near zero (the long-period
// diagonal, the forcing terms of order dt^2) to full relative precision.
M4 expm1(M4 z) {
  double norm = 0.0;
  for (int j = 0; j < 4; ++j) {
    double col = 0.0;
    for (int i = 0; i < 4; ++i) col += std::fabs(z[i][j]);
    norm = std::fmax(norm, col);
  }
  int s = 0;
  while (norm > 0.5) norm /= 2.0, ++s;
  const double shrink = std::ldexp(1.0, -s);
  for (auto& row : z)
    for (double& e : row) e *= shrink;
  // With |Z| <= 0.5 the terms after Z^18/18! are below 1e-22 of the sum.
  M4 f = z, term = z;
  for (int k = 2; k <= 18; ++k) {
    term = mul(term, z);
    for (auto& row : term)
      for (double& e : row) e /= k;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) f[i][j] += term[i][j];
  }
  for (int d = 0; d < s; ++d) {
    M4 g = f;
    for (int i = 0; i < 4; ++i) g[i][i] += 2.0;
    f = mul(f, g);
  }
  return f;
}

// The smallest even length >= n with no prime factor above 7, which FFTW
// transforms fastest.
std::size_t transform_length(std::size_t n) {
  for (std::size_t m = n + (n & 1);; m += 2) {
    std::size_t r = m;
    for (std::size_t p : {2, 3, 5, 7})
      while (r % p == 0) r /= p;
    if (r == 1) return m;
  }
}

}  // namespace

namespace detail {

Step step_coefficients(double period, double damping, double dt) {
  // State [w u, v]: both entries have the same scale, which keeps the matrix
  // balanced for the squaring. The augmented matrix
  //   [ X  h e2  0 ]
  //   [ 0   0    1 ]     with X = h [[0, w], [-w, -2 zeta w]]
  //   [ 0   0    0 ]
  // has exp = [[e^X, h phi1(X) e2, h phi2(X) e2], ...], the exact response to
  // a forcing that is linear over the step.
  const double w = TWO_PI / period, h = dt;
  M4 z{};
  z[0][1] = w * h;
  z[1][0] = -w * h;
  z[1][1] = -2.0 * damping * w * h;
  z[1][2] = h;
  z[2][3] = 1.0;
  const M4 f = expm1(z);
  // The forcing is -a: a0 weighs h (phi1 - phi2) e2, a1 weighs h phi2 e2.
  Step s;
  s.c11 = real(f[0][0]);
  s.a12 = real(f[0][1] / w);
  s.a21 = real(f[1][0] * w);
  s.c22 = real(f[1][1]);
  s.b11 = real(-(f[0][2] - f[0][3]) / w);
  s.b12 = real(-f[0][3] / w);
  s.b21 = real(-(f[1][2] - f[1][3]));
  s.b22 = real(-f[1][3]);
  return s;
}

}  // namespace detail

History read_history(std::string_view text, std::string_view name, double dt_override) {
  record::Pairs<Real> p = record::read_pairs<Real>(text, name, dt_override);
  return {std::move(p.a), real(p.dt), std::move(p.header)};
}

GroundPeaks ground_peaks(const std::vector<Real>& a, Real dt) {
  GroundPeaks g;
  if (a.empty()) return g;
  const double h = wide(dt);
  Real v = 0.0f, d = 0.0f;
  g.pga = std::fabs(a[0]);
  for (std::size_t n = 0; n + 1 < a.size(); ++n) {
    const double a0 = wide(a[n]), a1 = wide(a[n + 1]);
    // Exact integrals of a line from a0 to a1 over one step.
    const Real v1 = real(wide(v) + h * (a0 + a1) / 2.0);
    d = real(wide(d) + h * wide(v) + h * h * (a0 / 3.0 + a1 / 6.0));
    v = v1;
    g.pga = std::fmax(g.pga, std::fabs(a[n + 1]));
    g.pgv = std::fmax(g.pgv, std::fabs(v));
    g.pgd = std::fmax(g.pgd, std::fabs(d));
  }
  return g;
}

Response oscillator_peaks(const std::vector<Real>& a, Real dt, Real period, Real damping) {
  const detail::Step s = detail::step_coefficients(wide(period), wide(damping), wide(dt));
  const double c11 = wide(s.c11), a12 = wide(s.a12), a21 = wide(s.a21), c22 = wide(s.c22);
  const double b11 = wide(s.b11), b12 = wide(s.b12), b21 = wide(s.b21), b22 = wide(s.b22);
  Real u = 0.0f, v = 0.0f, sd = 0.0f, sv = 0.0f;
  for (std::size_t n = 0; n + 1 < a.size(); ++n) {
    const double a0 = wide(a[n]), a1 = wide(a[n + 1]), u0 = wide(u), v0 = wide(v);
    u = real(u0 + (c11 * u0 + a12 * v0 + b11 * a0 + b12 * a1));
    v = real(v0 + (a21 * u0 + c22 * v0 + b21 * a0 + b22 * a1));
    sd = std::fmax(sd, std::fabs(u));
    sv = std::fmax(sv, std::fabs(v));
  }
  const double w = TWO_PI / wide(period);
  return {period, sd, sv, real(w * w * wide(sd))};
}

namespace {

// Sixteen oscillators stepped side by side, enough independent recurrences
// to keep the vector units busy; each lane by exactly the arithmetic of the
// single oscillator above, in the same order, so that any width gives the
// same bits. Also built for AVX2 and picked when the processor has it.
// Not under ThreadSanitizer: the clones' resolvers run while the program is
// relocated, before the sanitizer's runtime is up.
constexpr std::size_t LANES = 16;
struct Block {
  double c11[LANES], a12[LANES], a21[LANES], c22[LANES];
  double b11[LANES], b12[LANES], b21[LANES], b22[LANES];
  Real u[LANES], v[LANES], sd[LANES], sv[LANES];
};

#if defined(__SANITIZE_THREAD__)
#define KORVO_SPECTRA_CLONES
#else
#define KORVO_SPECTRA_CLONES __attribute__((target_clones("avx2", "default")))
#endif

KORVO_SPECTRA_CLONES void step_block(std::size_t n, const Real* __restrict a, Block& __restrict b) {
  for (std::size_t t = 0; t + 1 < n; ++t) {
    const double a0 = wide(a[t]), a1 = wide(a[t + 1]);
    for (std::size_t k = 0; k < LANES; ++k) {
      const double u0 = wide(b.u[k]), v0 = wide(b.v[k]);
      b.u[k] = real(u0 + (b.c11[k] * u0 + b.a12[k] * v0 + b.b11[k] * a0 + b.b12[k] * a1));
      b.v[k] = real(v0 + (b.a21[k] * u0 + b.c22[k] * v0 + b.b21[k] * a0 + b.b22[k] * a1));
      // fmax as a comparison, which vectorizes: the peaks are never NaN, so a
      // NaN step leaves them as fmax would.
      const Real du = std::fabs(b.u[k]), dv = std::fabs(b.v[k]);
      b.sd[k] = du > b.sd[k] ? du : b.sd[k];
      b.sv[k] = dv > b.sv[k] ? dv : b.sv[k];
    }
  }
}

}  // namespace

std::vector<Response> oscillator_peaks(const std::vector<Real>& a, Real dt,
                                       const std::vector<Real>& periods, Real damping) {
  std::vector<Response> out;
  out.reserve(periods.size());
  for (std::size_t first = 0; first < periods.size(); first += LANES) {
    const std::size_t used = std::min(LANES, periods.size() - first);
    Block b{};
    for (std::size_t k = 0; k < LANES; ++k) {
      // A short block repeats its last period; the copies are dropped.
      const Real period = periods[first + std::min(k, used - 1)];
      const detail::Step s = detail::step_coefficients(wide(period), wide(damping), wide(dt));
      b.c11[k] = wide(s.c11), b.a12[k] = wide(s.a12), b.a21[k] = wide(s.a21);
      b.c22[k] = wide(s.c22), b.b11[k] = wide(s.b11), b.b12[k] = wide(s.b12);
      b.b21[k] = wide(s.b21), b.b22[k] = wide(s.b22);
    }
    step_block(a.size(), a.data(), b);
    for (std::size_t k = 0; k < used; ++k) {
      const Real period = periods[first + k];
      const double w = TWO_PI / wide(period);
      out.push_back({period, b.sd[k], b.sv[k], real(w * w * wide(b.sd[k]))});
    }
  }
  return out;
}

std::vector<Real> log_periods(Real first, Real last, int count) {
  std::vector<Real> periods;
  if (count < 1) return periods;
  if (count == 1) return {first};
  const double l0 = std::log(wide(first)), l1 = std::log(wide(last));
  for (int k = 0; k < count; ++k) {
    // The ends exactly as asked, not as exp(log(x)) returns them.
    if (k == 0) {
      periods.push_back(first);
    } else if (k == count - 1) {
      periods.push_back(last);
    } else {
      periods.push_back(real(std::exp(l0 + (l1 - l0) * k / (count - 1))));
    }
  }
  return periods;
}

std::string oversampling_words(int factor) {
  return factor > 1 ? "oversampled " + std::to_string(factor) + "x" : "not oversampled";
}

std::vector<Real> oversample(const std::vector<Real>& a, int factor) {
  if (factor < 1) throw korvo::Error("the oversampling factor must be at least 1");
  const std::size_t N = a.size(), L = static_cast<std::size_t>(factor);
  if (L == 1 || N < 2) return a;
  // Zeros after the record (the ground at rest) keep the transform's wrap-around
  // from joining the record's end to its start.
  const std::size_t M = transform_length(N + std::max<std::size_t>(N / 4, 64));
  const std::size_t ML = M * L;
  if (ML > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw korvo::Error("a history of " + std::to_string(N) + " samples cannot be oversampled " +
                       std::to_string(factor) + " times");
  auto x = fftw::array<double>(M);
  auto X = fftw::array<fftw_complex>(M / 2 + 1);
  auto Y = fftw::array<fftw_complex>(ML / 2 + 1);
  auto y = fftw::array<double>(ML);
  {
    const fftw::Plan forward = fftw::plan_r2c(static_cast<int>(M), x.get(), X.get());
    for (std::size_t n = 0; n < M; ++n) x[n] = n < N ? wide(a[n]) : 0.0;
    fftw_execute_dft_r2c(forward.get(), x.get(), X.get());
  }
  // Unscaled transforms: 1/M makes the pair an identity at the old samples.
  const double scale = 1.0 / static_cast<double>(M);
  for (std::size_t k = 0; k <= ML / 2; ++k) {
    const double part = k < M / 2 ? scale : k == M / 2 ? scale / 2.0 : 0.0;
    Y[k][0] = k <= M / 2 ? X[k][0] * part : 0.0;
    Y[k][1] = k <= M / 2 ? X[k][1] * part : 0.0;
  }
  const fftw::Plan inverse = fftw::plan_c2r(static_cast<int>(ML), Y.get(), y.get());
  fftw_execute_dft_c2r(inverse.get(), Y.get(), y.get());
  std::vector<Real> fine((N - 1) * L + 1);
  for (std::size_t n = 0; n < fine.size(); ++n) fine[n] = real(y[n]);
  return fine;
}

int oversample_factor(Real dt, Real shortest_period) {
  // A hair of tolerance keeps an exact ratio from rounding up: dt 0.01 and
  // period 0.2 need a factor of 1, not 2.
  const double need = STEPS_PER_PERIOD * wide(dt) / wide(shortest_period) * (1.0 - 1e-9);
  if (!(need > 1.0)) return 1;
  return need >= OVERSAMPLE_MAX ? OVERSAMPLE_MAX : static_cast<int>(std::ceil(need));
}

Spectrum response_spectrum(const std::vector<Real>& a, Real dt, const std::vector<Real>& periods,
                           Real damping, int factor) {
  Spectrum s;
  s.ground = ground_peaks(a, dt);
  if (periods.empty()) return s;
  s.factor = factor > 0 ? factor
                        : oversample_factor(dt, *std::min_element(periods.begin(), periods.end()));
  const std::vector<Real> fine = oversample(a, s.factor);
  const Real h = real(wide(dt) / s.factor);
  s.rows = oscillator_peaks(fine, h, periods, damping);
  return s;
}

std::string format_spectra(const Spectrum& s, record::Unit unit) {
  const double to_cm = record::unit_factor(unit, record::Unit::CmS2);
  std::string out =
      "period_s,psa_" + record::column_unit(record::unit_name(unit)) + ",sv_cm_s,sd_cm\n";
  char buf[128];
  for (const Response& r : s.rows) {
    std::snprintf(buf, sizeof buf, "%.6e,%.6e,%.6e,%.6e\n", wide(r.period), wide(r.psa),
                  wide(r.sv) * to_cm, wide(r.sd) * to_cm);
    out += buf;
  }
  return out;
}

std::string format_spectra_note(std::string_view source, const History& h, Real damping,
                                const Spectrum& s, record::Unit unit) {
  const double to_cm = record::unit_factor(unit, record::Unit::CmS2);
  const GroundPeaks& g = s.ground;
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "samples: %zu\ndt: %g s\ndamping: %g\noversampling: %s\n"
                "unit: %s\nPGA: %.6e %s\nPGV: %.6e cm/s\nPGD: %.6e cm\n",
                h.a.size(), wide(h.dt), wide(damping), oversampling_words(s.factor).c_str(),
                record::unit_name(unit), wide(g.pga), record::unit_name(unit), wide(g.pgv) * to_cm,
                wide(g.pgd) * to_cm);
  return "source: " + std::string(source) + "\n" + buf;
}

}  // namespace korvo::spectra
