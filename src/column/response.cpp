#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "column/column.h"
#include "column/wave.h"
#include "motion/fftw.h"

namespace korvo::column {

namespace {

using namespace wave;

// Chained phase factors: W independent chains (so that the loop over bins
// vectorizes), each formed afresh from an exponential every BLOCK bins, which
// keeps the rounding error of the products to some hundred ulps.
constexpr int W = 8;
constexpr int BLOCK = 512;

// Transform lengths 2^a, 5 2^a and 25 2^a: FFTW's estimated plans for these
// run nearly as fast as measured ones, and planning costs nothing.
long good_length(long n) {
  long best = 0;
  for (long base : {1L, 5L, 25L}) {
    long m = base;
    while (m < n) m *= 2;
    if (best == 0 || m < best) best = m;
  }
  return best;
}

// Real and imaginary parts kept apart, so that the loops over bins vectorize.
struct Split {
  std::vector<double> re, im;
  void resize(std::size_t n) {
    re.assign(n, 0.0);
    im.assign(n, 0.0);
  }
  C at(std::size_t i) const { return {re[i], im[i]}; }
  void set(std::size_t i, C v) {
    re[i] = v.re;
    im[i] = v.im;
  }
};

// The loops over bins, as plain functions over split arrays so that they
// vectorize. Each is also built for AVX2 and picked when the processor has
// it: element-wise products and sums in the same order, so both give the
// same bits.
// Not under ThreadSanitizer: the clones' resolvers run while the program is
// relocated, before the sanitizer's runtime is up, and end the process.
#if defined(__SANITIZE_THREAD__)
#define KORVO_EQL_CLONES
#else
#define KORVO_EQL_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// p[f] = p[f - W] * s for f from b + W to end: W chains, one bin apart.
KORVO_EQL_CLONES void chain(int b, int end, double* __restrict pr, double* __restrict pi, double sr,
                            double si) {
  for (int f = b + W; f < end; ++f) {
    pr[f] = pr[f - W] * sr - pi[f - W] * si;
    pi[f] = pr[f - W] * si + pi[f - W] * sr;
  }
}

// One sublayer: E p - F q at mid-depth into S, then E and F carried to the
// bottom (times p and q again) and across the interface below:
// E' = (sum + alpha diff) / 2, F' = (sum - alpha diff) / 2 with sum and diff
// of the bottom values.
KORVO_EQL_CLONES void through_sublayer(int NF, double* __restrict Er, double* __restrict Ei,
                                       double* __restrict Fr, double* __restrict Fi,
                                       const double* __restrict pr, const double* __restrict pi,
                                       const double* __restrict qr, const double* __restrict qi,
                                       double ar, double ai, double* __restrict Sr,
                                       double* __restrict Si) {
  for (int f = 0; f < NF; ++f) {
    const double epr = Er[f] * pr[f] - Ei[f] * pi[f], epi = Er[f] * pi[f] + Ei[f] * pr[f];
    const double fqr = Fr[f] * qr[f] - Fi[f] * qi[f], fqi = Fr[f] * qi[f] + Fi[f] * qr[f];
    Sr[f] = epr - fqr;
    Si[f] = epi - fqi;
    const double ebr = epr * pr[f] - epi * pi[f], ebi = epr * pi[f] + epi * pr[f];
    const double fbr = fqr * qr[f] - fqi * qi[f], fbi = fqr * qi[f] + fqi * qr[f];
    const double dr = ebr - fbr, di = ebi - fbi;
    const double adr = ar * dr - ai * di, adi = ar * di + ai * dr;
    Er[f] = 0.5 * (ebr + fbr + adr);
    Ei[f] = 0.5 * (ebi + fbi + adi);
    Fr[f] = 0.5 * (ebr + fbr - adr);
    Fi[f] = 0.5 * (ebi + fbi - adi);
  }
}

// out = c S B, interleaved as FFTW wants it.
KORVO_EQL_CLONES void scaled_product(int NF, const double* __restrict Sr,
                                     const double* __restrict Si, const double* __restrict Br,
                                     const double* __restrict Bi, double cr, double ci,
                                     double* __restrict out) {
  for (int f = 0; f < NF; ++f) {
    const double sr = Sr[f] * Br[f] - Si[f] * Bi[f], si = Sr[f] * Bi[f] + Si[f] * Br[f];
    out[2 * f] = cr * sr - ci * si;
    out[2 * f + 1] = cr * si + ci * sr;
  }
}

// Largest |x|, in four partial maxima the loop keeps in flight.
KORVO_EQL_CLONES double largest(int N, const double* __restrict x) {
  double m0 = 0.0, m1 = 0.0, m2 = 0.0, m3 = 0.0;
  int t = 0;
  for (; t + 4 <= N; t += 4) {
    const double a0 = std::fabs(x[t]), a1 = std::fabs(x[t + 1]);
    const double a2 = std::fabs(x[t + 2]), a3 = std::fabs(x[t + 3]);
    m0 = a0 > m0 ? a0 : m0;
    m1 = a1 > m1 ? a1 : m1;
    m2 = a2 > m2 ? a2 : m2;
    m3 = a3 > m3 ? a3 : m3;
  }
  for (; t < N; ++t) m0 = std::max(m0, std::fabs(x[t]));
  return std::max(std::max(m0, m1), std::max(m2, m3));
}

}  // namespace

struct Analysis::Impl {
  std::vector<Sublayer> subs;
  HalfSpace half;
  double half_rho = 0.0;
  Options opt;
  int n = 0;   // record samples
  int N = 0;   // transform length
  int NF = 0;  // bins 0 .. N/2
  double dt = 0.0, dw = 0.0, to_si = 1.0;
  std::vector<C> A;  // input spectrum, record unit

  fftw::Array<double> time_;        // N
  fftw::Array<fftw_complex> freq_;  // NF
  double* time = nullptr;
  fftw_complex* freq = nullptr;
  fftw::Plan inverse;

  // Work of one response, per bin.
  Split E, F, p, q;
  std::vector<C> inp;     // displacement amplitude of the input motion
  Split B;                // A / (w inp), m/s^2 of input per unit amplitude; 0 at w = 0
  Split T;                // E p - F q at mid-depth of the sublayer being passed
  std::vector<C> V;       // complex velocity per sublayer, then the half-space
  std::vector<int> dead;  // bins whose amplitudes left the range of doubles
  std::vector<char> nil;  // the same as flags per bin

  std::vector<Props> props;  // final state
  Result result;
  bool done = false;
  bool stale = false;  // inp and B were last formed for other properties

  // inp and B of the final state again, after peak_strains used others.
  void final_state() {
    if (!done) throw korvo::Error("no analysis has run");
    if (stale) propagate(props);
    stale = false;
  }

  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void transform_back() { fftw_execute_dft_c2r(inverse.get(), freq, time); }

  int L() const { return static_cast<int>(subs.size()); }

  double peak_of_inverse() {
    transform_back();
    return largest(N, time) / N;
  }

  void velocities(const std::vector<Props>& P) {
    V.resize(subs.size() + 1);
    for (std::size_t m = 0; m < subs.size(); ++m)
      V[m] = complex_velocity(opt.modulus, subs[m].vs0 * std::sqrt(P[m].g_ratio), P[m].damping);
    V[subs.size()] = complex_velocity(opt.modulus, half.vs, half.damping);
  }

  // p = e^{i w c}, q = e^{-i w c} on every bin w = f dw.
  void phase_factors(C c) {
    const C ic{-c.im, c.re};
    const C step = cexp(scale(dw, ic)), back = cexp(scale(-dw, ic));
    const C stepW = cexp(scale(dw * W, ic)), backW = cexp(scale(-dw * W, ic));
    double* pr = p.re.data();
    double* pi = p.im.data();
    double* qr = q.re.data();
    double* qi = q.im.data();
    for (int b = 0; b < NF; b += BLOCK) {
      const int end = std::min(NF, b + BLOCK);
      C pf = cexp(scale(dw * b, ic)), qf = cexp(scale(-dw * b, ic));
      for (int f = b; f < std::min(end, b + W); ++f) {
        pr[f] = pf.re, pi[f] = pf.im, qr[f] = qf.re, qi[f] = qf.im;
        pf = pf * step;
        qf = qf * back;
      }
      chain(b, end, pr, pi, stepW.re, stepW.im);
      chain(b, end, qr, qi, backW.re, backW.im);
    }
  }

  void start_at_surface() {
    std::fill(E.re.begin(), E.re.end(), 1.0);
    std::fill(E.im.begin(), E.im.end(), 0.0);
    std::fill(F.re.begin(), F.re.end(), 1.0);
    std::fill(F.im.begin(), F.im.end(), 0.0);
  }

  // Carries E and F through sublayer m to the top of the next one, writing
  // E p - F q at mid-depth into Sr, Si.
  void through(int m, double* Sr, double* Si) {
    const auto um = static_cast<std::size_t>(m);
    const double rho1 = m + 1 < L() ? subs[um + 1].rho : half_rho;
    const C alpha = scale(subs[um].rho, V[um]) / scale(rho1, V[um + 1]);
    // Half the sublayer's phase per unit circular frequency: (h/2) / V*.
    phase_factors(C{subs[um].thickness / 2.0, 0.0} / V[um]);
    through_sublayer(NF, E.re.data(), E.im.data(), F.re.data(), F.im.data(), p.re.data(),
                     p.im.data(), q.re.data(), q.im.data(), alpha.re, alpha.im, Sr, Si);
  }

  // Up- (E) and down-going (F) amplitudes from the free surface (E = F = 1)
  // down to the top of sublayer `stop` (L(): the half-space), with
  // u = E e^{ikz} + F e^{-ikz} in each sublayer (time factor e^{iwt}, z from
  // its top). top(m) sees E and F at the top of each sublayer on the way and
  // at the stop; mid(m) sees E p - F q at mid-depth of sublayer m in T.
  // Nothing is kept per sublayer, so the memory stays a few rows of bins.
  template <class Top, class Mid>
  void walk(int stop, Top top, Mid mid) {
    start_at_surface();
    for (int m = 0; m < stop; ++m) {
      top(m);
      through(m, T.re.data(), T.im.data());
      for (int f : dead)
        T.re[static_cast<std::size_t>(f)] = T.im[static_cast<std::size_t>(f)] = 0.0;
      mid(m);
    }
    top(stop);
  }

  // For the properties P: the input's displacement amplitude per bin, and
  // B = A / (w inp).
  void propagate(const std::vector<Props>& P) {
    // Over an undamped column the motion at the top of the half-space has
    // zeros at the column's resonances, so a within input has no bounded
    // surface motion there.
    if (opt.input == InputKind::Within &&
        std::all_of(P.begin(), P.end(), [](const Props& x) { return x.damping == 0.0; }))
      throw korvo::Error(
          "--input within needs damping in the column: undamped, its resonances make the "
          "surface motion unbounded");
    velocities(P);
    dead.clear();
    walk(
        L(), [](int) {}, [](int) {});
    // Soft, damped columns can carry the amplitudes at high frequency past
    // the range of doubles; the transfer functions are nil there.
    std::fill(nil.begin(), nil.end(), 0);
    B.re[0] = B.im[0] = 0.0;
    for (int f = 0; f < NF; ++f) {
      const auto uf = static_cast<std::size_t>(f);
      const C e = E.at(uf);
      inp[uf] = opt.input == InputKind::Outcrop ? scale(2.0, e) : e + F.at(uf);
      if (!(norm2(inp[uf]) < 1e300)) {
        dead.push_back(f);
        nil[uf] = 1;
        B.set(uf, {0.0, 0.0});
      } else if (f > 0) {
        B.set(uf, A[uf] / scale(dw * f, inp[uf]));
      }
    }
  }

  // Strain per unit input acceleration (m/s^2) at mid-depth of sublayer m is
  // -i (E p - F q) / (w V* inp): the depth derivative i k (E p - F q) of the
  // displacement over the input's -w^2 inp. The static term (w = 0) is left
  // out: a constant acceleration over the whole transform is an artefact of
  // the record's baseline, not a load. `factor` scales the result. Within
  // walk's mid(m) only.
  void strain_spectrum(int m, C factor) {
    const C cm = C{0.0, -1.0} * factor / V[static_cast<std::size_t>(m)];
    scaled_product(NF, T.re.data(), T.im.data(), B.re.data(), B.im.data(), cm.re, cm.im,
                   &freq[0][0]);
  }

  // The second walk repeats the first one's arithmetic instead of keeping
  // every sublayer's row: a row per sublayer would stream megabytes through
  // memory on every iteration, which costs more than the arithmetic.
  std::vector<double> strain_peaks(const std::vector<Props>& P) {
    propagate(P);
    std::vector<double> peaks(subs.size());
    walk(
        L(), [](int) {},
        [&](int m) {
          strain_spectrum(m, {to_si * 100.0, 0.0});
          peaks[static_cast<std::size_t>(m)] = peak_of_inverse();
        });
    return peaks;
  }

  // The sublayer (L() for the half-space) holding `depth`, and the distance
  // below its top.
  int locate(double depth, double& below) const {
    for (int m = 0; m < L(); ++m) {
      const auto& s = subs[static_cast<std::size_t>(m)];
      if (depth < s.top + s.thickness) {
        below = depth - s.top;
        return m;
      }
    }
    const auto& last = subs.back();
    below = depth - (last.top + last.thickness);
    return L();
  }

  double top_of_halfspace() const { return subs.back().top + subs.back().thickness; }

  // As locate, but a depth within INTERFACE_SNAP of the column's depth of a
  // sublayer's top (or the half-space's) lies in the material below it.
  int locate_snapped(double depth, double& below) const {
    const double tol = INTERFACE_SNAP * top_of_halfspace();
    for (int m = 0; m < L(); ++m) {
      const auto um = static_cast<std::size_t>(m);
      const double bottom = m + 1 < L() ? subs[um + 1].top : top_of_halfspace();
      if (depth < bottom - tol) {
        below = std::max(0.0, depth - subs[um].top);
        return m;
      }
    }
    below = std::max(0.0, depth - top_of_halfspace());
    return L();
  }

  // The motion at `depth` per bin, for E = F = 1 at the surface: the total
  // E e^{ikz} + F e^{-ikz}, or the outcrop 2 E e^{ikz}.
  std::vector<C> motion(double depth, InputKind kind) {
    double z = 0.0;
    const int m = locate_snapped(depth, z);
    const C ic = C{0.0, z} / V[static_cast<std::size_t>(m)];
    std::vector<C> out(static_cast<std::size_t>(NF));
    walk(
        m,
        [&](int at) {
          if (at != m) return;
          for (int f = 0; f < NF; ++f) {
            const auto uf = static_cast<std::size_t>(f);
            const C up = E.at(uf) * cexp(scale(dw * f, ic));
            out[uf] = kind == InputKind::Outcrop ? scale(2.0, up)
                                                 : up + F.at(uf) * cexp(scale(-dw * f, ic));
          }
        },
        [](int) {});
    return out;
  }

  enum class Quantity { Acceleration, Strain, Stress };

  std::vector<double> history(double depth, Quantity what) {
    double z = 0.0;
    const int m = locate(depth, z);
    const auto um = static_cast<std::size_t>(m);
    const C vm = V[um];
    const C ic = C{0.0, z} / vm;  // i z / V*
    // Times E e - F e' B: the strain in %, or times G* = rho V*^2 the stress in kPa.
    C cm = C{0.0, -to_si * 100.0} / vm;
    if (what == Quantity::Stress) {
      const double rho = m < L() ? subs[um].rho : half_rho;
      cm = C{0.0, -1.0} * scale(to_si, scale(rho, vm * vm)) / vm;
    }
    walk(
        m,
        [&](int at) {
          if (at != m) return;
          for (int f = 0; f < NF; ++f) {
            const auto uf = static_cast<std::size_t>(f);
            C v{0.0, 0.0};
            if (!nil[uf]) {
              const C e = cexp(scale(dw * f, ic)), ei = cexp(scale(-dw * f, ic));
              const C Et = E.at(uf), Ft = F.at(uf);
              if (what == Quantity::Acceleration)
                v = (Et * e + Ft * ei) / inp[uf] * A[uf];
              else
                v = cm * (Et * e - Ft * ei) * B.at(uf);
            }
            freq[f][0] = v.re;
            freq[f][1] = v.im;
          }
        },
        [](int) {});
    transform_back();
    std::vector<double> out(static_cast<std::size_t>(n));
    for (int t = 0; t < n; ++t) out[static_cast<std::size_t>(t)] = time[t] / N;
    return out;
  }
};

Analysis::Analysis(std::vector<Sublayer> sublayers, const HalfSpace& halfspace,
                   const Motion& motion, const Options& options)
    : impl_(std::make_unique<Impl>()) {
  auto& I = *impl_;
  if (sublayers.empty()) throw korvo::Error("the profile has no layers");
  if (motion.a.size() < 2 || !(motion.dt > 0.0))
    throw korvo::Error("the record needs two samples and dt > 0");
  I.subs = std::move(sublayers);
  I.half = halfspace;
  I.half_rho = halfspace.unit_weight / GRAVITY;
  I.opt = options;
  if (!std::all_of(motion.a.begin(), motion.a.end(), [](double a) { return std::isfinite(a); }))
    throw korvo::Error("the record holds a value that is not finite");
  I.N = static_cast<int>(
      column::transform_length(static_cast<long>(motion.a.size()), motion.dt, options));
  I.n = static_cast<int>(motion.a.size());
  I.dt = motion.dt;
  I.to_si = motion.to_si;
  I.NF = I.N / 2 + 1;
  I.dw = 2.0 * PI_D / (I.N * I.dt);

  I.time_ = fftw::array<double>(static_cast<std::size_t>(I.N));
  I.freq_ = fftw::array<fftw_complex>(static_cast<std::size_t>(I.NF));
  I.time = I.time_.get();
  I.freq = I.freq_.get();
  // Kept across analyses of the same length: FFTW_ESTIMATE plans without
  // trial transforms, and the cache spares even that.
  I.inverse = fftw::plan_c2r(I.N, I.freq, I.time);
  const fftw::Plan forward = fftw::plan_r2c(I.N, I.time, I.freq);
  std::fill(I.time, I.time + I.N, 0.0);
  std::copy(motion.a.begin(), motion.a.end(), I.time);
  fftw_execute_dft_r2c(forward.get(), I.time, I.freq);
  I.A.resize(static_cast<std::size_t>(I.NF));
  for (int f = 0; f < I.NF; ++f) I.A[static_cast<std::size_t>(f)] = {I.freq[f][0], I.freq[f][1]};

  const auto nf = static_cast<std::size_t>(I.NF);
  I.E.resize(nf);
  I.F.resize(nf);
  I.p.resize(nf);
  I.q.resize(nf);
  I.B.resize(nf);
  I.inp.resize(nf);
  I.nil.resize(nf);
  I.T.resize(nf);
}

Analysis::~Analysis() = default;

std::vector<double> Analysis::peak_strains(const std::vector<Props>& props) {
  impl_->stale = true;
  return impl_->strain_peaks(props);
}

const Result& Analysis::run() {
  auto& I = *impl_;
  std::vector<Soil> soils;
  for (const auto& s : I.subs) soils.push_back(s.soil);
  const auto start = std::chrono::steady_clock::now();
  Outcome outcome;
  if (I.opt.method == Method::Linear) {
    for (const Soil& s : soils) outcome.props.push_back(small_strain_props(s));
    outcome.converged = true;
  } else {
    outcome = iterate(soils, I.opt, [&](const std::vector<Props>& P) { return I.strain_peaks(P); });
  }
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
  I.props = outcome.props;
  I.propagate(I.props);

  Result r;
  r.props = I.props;
  r.rows = std::move(outcome.rows);
  r.converged = outcome.converged;
  r.iterations = static_cast<int>(r.rows.size());
  r.seconds = spent.count();
  const int Lc = I.L();
  I.walk(
      Lc,
      [&](int) {
        for (int f = 0; f < I.NF; ++f) {
          const auto uf = static_cast<std::size_t>(f);
          const C v = I.nil[uf] ? C{0.0, 0.0} : (I.E.at(uf) + I.F.at(uf)) / I.inp[uf] * I.A[uf];
          I.freq[f][0] = v.re;
          I.freq[f][1] = v.im;
        }
        r.pga_top.push_back(I.peak_of_inverse());
      },
      [&](int m) {
        const auto um = static_cast<std::size_t>(m);
        I.strain_spectrum(m, {I.to_si * 100.0, 0.0});
        const double peak = I.peak_of_inverse();
        r.strain_peak.push_back(peak);
        r.strain_eff.push_back(I.opt.strain_ratio * peak);
        // tau = G* gamma, G* = rho V*^2 in kPa.
        const C G = scale(I.subs[um].rho, I.V[um] * I.V[um]);
        I.strain_spectrum(m, scale(I.to_si, G));
        r.stress_peak.push_back(I.peak_of_inverse());
      });
  // The transform is periodic: motion still ringing at its end wraps round
  // onto the start of the record. Its size at the end, against the peak:
  for (int f = 0; f < I.NF; ++f) {
    const auto uf = static_cast<std::size_t>(f);
    const C v = I.nil[uf] ? C{0.0, 0.0} : C{2.0, 0.0} / I.inp[uf] * I.A[uf];
    I.freq[f][0] = v.re;
    I.freq[f][1] = v.im;
  }
  const double peak = I.peak_of_inverse();
  const int tail = std::max(1, I.N / 50);
  r.ringing = peak > 0.0 ? largest(tail, I.time + (I.N - tail)) / I.N / peak : 0.0;

  auto finite = [](const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
  };
  if (!finite(r.strain_peak) || !finite(r.stress_peak) || !finite(r.pga_top))
    throw korvo::Error("the response is not finite: check the profile's velocities and damping");
  I.result = std::move(r);
  I.done = true;
  I.stale = false;
  return I.result;
}

std::vector<double> Analysis::acceleration_at(double depth) const {
  impl_->final_state();
  return impl_->history(depth, Impl::Quantity::Acceleration);
}

std::vector<double> Analysis::strain_at(double depth) const {
  impl_->final_state();
  return impl_->history(depth, Impl::Quantity::Strain);
}

std::vector<double> Analysis::stress_at(double depth) const {
  impl_->final_state();
  return impl_->history(depth, Impl::Quantity::Stress);
}

std::vector<std::complex<double>> Analysis::transfer_between(double from, InputKind from_kind,
                                                             double to, InputKind to_kind) const {
  impl_->final_state();
  auto& I = *impl_;
  const std::vector<C> a = I.motion(from, from_kind), b = I.motion(to, to_kind);
  constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
  std::vector<std::complex<double>> out(a.size());
  for (std::size_t f = 0; f < a.size(); ++f) {
    const C h = b[f] / a[f];
    out[f] = std::isfinite(h.re) && std::isfinite(h.im) ? std::complex<double>(h.re, h.im)
                                                        : std::complex<double>(NaN, NaN);
  }
  return out;
}

double Analysis::halfspace_top() const { return impl_->top_of_halfspace(); }

std::vector<std::complex<double>> Analysis::transfer() const {
  impl_->final_state();
  const auto& I = *impl_;
  std::vector<std::complex<double>> out(static_cast<std::size_t>(I.NF));
  for (int f = 0; f < I.NF; ++f) {
    const C h = C{2.0, 0.0} / I.inp[static_cast<std::size_t>(f)];
    out[static_cast<std::size_t>(f)] = {h.re, h.im};
  }
  for (int f : I.dead) out[static_cast<std::size_t>(f)] = 0.0;
  return out;
}

long transform_length(long n, double dt, const Options& options) {
  if (n < 2 || !(dt > 0.0) || !std::isfinite(dt))
    throw korvo::Error("the record needs two samples and dt > 0");
  if (options.nfft > 0) {
    if (options.nfft < n)
      throw korvo::Error("a transform of " + std::to_string(options.nfft) +
                         " is shorter than the record's " + std::to_string(n) + " samples");
    if (options.nfft > TRANSFORM_MAX)
      throw korvo::Error("a transform of " + std::to_string(options.nfft) + " is longer than the " +
                         std::to_string(TRANSFORM_MAX) + " the engine takes");
    return options.nfft;
  }
  // In double first: a pad of many seconds at a tiny dt is no integer.
  const double pad = std::max(0.0, options.pad);
  const double want = static_cast<double>(n) + std::ceil(pad / dt - 1e-9);
  if (!(want <= static_cast<double>(TRANSFORM_MAX)))
    throw korvo::Error("the record of " + std::to_string(n) + " samples with " + shortest(pad) +
                       " s of padding at dt " + shortest(dt) + " s needs a transform longer than " +
                       std::to_string(TRANSFORM_MAX) + " samples; shorten the padding");
  const long N = good_length(static_cast<long>(want));
  if (N > TRANSFORM_MAX)
    throw korvo::Error("the record of " + std::to_string(n) + " samples with " + shortest(pad) +
                       " s of padding rounds up to a transform of " + std::to_string(N) +
                       ", longer than " + std::to_string(TRANSFORM_MAX) + "; shorten the padding");
  return N;
}

double Analysis::frequency_step() const { return 1.0 / (impl_->N * impl_->dt); }
int Analysis::transform_length() const { return impl_->N; }

}  // namespace korvo::column
