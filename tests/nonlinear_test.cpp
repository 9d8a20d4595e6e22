// The nonlinear column against oracles that do not share its arithmetic: the
// frequency-domain solution of the same lumped-mass system, the Masing loop
// area from the backbone's integral, path independence of the reversal
// memory, and convergence in the time step.
#include "nonlinear/nonlinear.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "column/site.h"
#include "machine/machine.h"
#include "motion/spectra.h"
#include "simd/simd.h"

using namespace korvo::nonlinear;
using korvo::column::PI_D;
using Cd = std::complex<double>;

namespace {

// In place, radix 2; sign -1 forward, +1 inverse (unscaled).
void fft(std::vector<Cd>& x, int sign) {
  const std::size_t n = x.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(x[i], x[j]);
  }
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const double ang = sign * 2.0 * PI_D / static_cast<double>(len);
    for (std::size_t i = 0; i < n; i += len)
      for (std::size_t k = 0; k < len / 2; ++k) {
        const Cd w = std::polar(1.0, ang * static_cast<double>(k));
        const Cd a = x[i + k], b = x[i + k + len / 2] * w;
        x[i + k] = a + b;
        x[i + k + len / 2] = a - b;
      }
  }
}

Element layer(double h, double rho, double vs, double xi) {
  Element e;
  e.thickness = h;
  e.rho = rho;
  e.gmax = rho * vs * vs;
  e.xi = xi;
  return e;
}

// A smooth pulse train below 5 Hz, then quiet for the response to decay.
korvo::column::Motion record(int n, double dt, double pga_g) {
  korvo::column::Motion m;
  m.dt = dt;
  m.to_si = 9.80665;
  const double T = 0.4 * n * dt;
  for (int i = 0; i < n; ++i) {
    const double t = i * dt;
    const double w = t < T ? std::sin(PI_D * t / T) : 0.0;
    m.a.push_back(pga_g * w * w *
                  (std::sin(2 * PI_D * 1.1 * t) + 0.6 * std::sin(2 * PI_D * 2.7 * t + 0.4) +
                   0.3 * std::sin(2 * PI_D * 4.1 * t + 1.3)) /
                  1.9);
  }
  return m;
}

// Surface acceleration of the linear lumped-mass column, frequency by
// frequency: (s^2 M + s C + K) U = -M Ag, total acceleration s^2 U0 + Ag,
// with the input linear between record samples on the time step's grid.
// Tustin's s = (2/dt) tan(w dt / 2) i is what the trapezoidal (average
// acceleration) rule solves exactly; s = i w is the continuous system.
// A rigid base (c_base < 0) holds the last node to the input.
std::vector<double> frequency_domain(const std::vector<Element>& els, double c_base,
                                     const korvo::column::Motion& m, int ns, double f1, double f2,
                                     bool tustin) {
  const std::size_t NE = els.size(), N = c_base < 0 ? NE : NE + 1;
  const std::size_t nf = (m.a.size() - 1) * static_cast<std::size_t>(ns) + 1;
  std::size_t L = 1;
  while (L < 4 * nf) L <<= 1;  // the response decays before it wraps round
  const double dt = m.dt / ns;
  std::vector<Cd> ag(L, 0.0);
  for (std::size_t i = 0; i < nf; ++i) {
    const std::size_t k = i / static_cast<std::size_t>(ns);
    const double t = static_cast<double>(i % static_cast<std::size_t>(ns)) / ns;
    ag[i] = k + 1 < m.a.size() ? m.a[k] + t * (m.a[k + 1] - m.a[k]) : m.a[k];
  }
  fft(ag, -1);
  const double w1 = 2 * PI_D * f1, w2 = 2 * PI_D * f2;
  std::vector<Cd> out(L);
  for (std::size_t b = 0; b < L; ++b) {
    double w = 2 * PI_D * static_cast<double>(b) / (static_cast<double>(L) * dt);
    if (b > L / 2) w -= 2 * PI_D / dt;
    const Cd s = tustin ? Cd(0, 2.0 / dt * std::tan(w * dt / 2)) : Cd(0, w);
    std::vector<Cd> d(NE + 1, 0.0), o(NE + 1, 0.0), r(NE + 1, 0.0);
    for (std::size_t i = 0; i < NE; ++i) {
      const Element& e = els[i];
      const double half = e.rho * e.thickness / 2, k = e.gmax / e.thickness;
      const double al = 2 * e.xi * w1 * w2 / (w1 + w2), be = 2 * e.xi / (w1 + w2);
      const Cd diag = s * s * half + s * (al * half + be * k) + k;
      d[i] += diag;
      d[i + 1] += diag;
      o[i] = -(s * be * k + k);
      r[i] -= half * ag[b];
      r[i + 1] -= half * ag[b];
    }
    if (c_base > 0) d[N - 1] += s * c_base;
    for (std::size_t i = 1; i < N; ++i) {
      const Cd q = o[i - 1] / d[i - 1];
      d[i] -= q * o[i - 1];
      r[i] -= q * r[i - 1];
    }
    Cd u = r[N - 1] / d[N - 1];
    for (std::size_t i = N - 1; i-- > 0;) u = (r[i] - o[i] * u) / d[i];
    // At rest the relative motion drifts on the dashpot: s^2 U -> 0.
    out[b] = b == 0 && c_base > 0 ? ag[b] : s * s * u + ag[b];
  }
  fft(out, +1);
  std::vector<double> surface;
  for (std::size_t k = 0; k < m.a.size(); ++k)
    surface.push_back(out[k * static_cast<std::size_t>(ns)].real() / static_cast<double>(L));
  return surface;
}

double peak(const std::vector<double>& x) {
  double p = 0;
  for (double v : x) p = std::max(p, std::abs(v));
  return p;
}

TEST(NonlinearColumn, LinearMatchesFrequencyDomainOfTheSameSystem) {
  std::vector<Element> els;
  for (int i = 0; i < 8; ++i) els.push_back(layer(2.5, 1.8, 180, 0.03));
  for (int i = 0; i < 6; ++i) els.push_back(layer(3.0, 1.9, 320, 0.015));
  const korvo::column::HalfSpace hs{21.0, 760.0, 0.01};
  const auto m = record(3000, 0.01, 0.05);
  struct Case {
    Base base;
    int substeps;
    bool tustin;
    double newton;  // Options::tol
    double tol;     // of the largest difference over the surface PGA
  } cases[] = {
      // The discrete-time system exactly, to what Newton leaves: a step
      // whose residual starts within tolerance is taken as it is.
      {Base::Elastic, 10, true, 1e-13, 1e-10},
      {Base::Rigid, 10, true, 1e-13, 1e-10},
      {Base::Elastic, 10, true, 1e-9, 1e-7},
      // The continuous system, within the rule's period error.
      {Base::Elastic, 10, false, 1e-9, 1e-3},
      {Base::Rigid, 10, false, 1e-9, 1e-3},
  };
  for (const Case& c : cases) {
    Options o;
    o.base = c.base;
    o.depths = {38.0};  // the base
    o.substeps = c.substeps;
    o.tol = c.newton;
    o.f1 = 1.3;
    o.f2 = 6.5;
    const Result r = run(els, hs, m, o);
    const double c_base = c.base == Base::Rigid ? -1 : hs.unit_weight / 9.80665 * hs.vs;
    const auto ref = frequency_domain(els, c_base, m, c.substeps, o.f1, o.f2, c.tustin);
    double diff = 0;
    for (std::size_t k = 0; k < ref.size(); ++k)
      diff = std::max(diff, std::abs(r.surface[k] - ref[k]));
    EXPECT_LT(diff / peak(ref), c.tol)
        << "tustin " << c.tustin << " newton " << c.newton << " rigid " << (c.base == Base::Rigid);
    EXPECT_EQ(r.unconverged, 0);
    if (c.base == Base::Rigid) {  // the base moves with the record, from the start
      for (std::size_t k = 0; k < m.a.size(); ++k)
        ASSERT_NEAR(r.at[0][k], m.a[k], 1e-15) << "sample " << k;
    }
  }
}

// Frequency-independent damping on a uniform column of n elements over a
// rigid base, against its modes in closed form: node j (0 the surface, mass
// m/2; m below; node n held) moves as cos(theta j), theta = (2r - 1) pi / 2n,
// at w_r = 2 sqrt(k / m) sin(theta / 2). Each mode is an oscillator damped
// at xi, so the surface is Ag (1 - sum_r P_r s^2 / (s^2 + 2 xi w_r s + w_r^2)),
// P_r = (sum m_j phi_j) phi_0 / sum m_j phi_j^2; Tustin's s as above.
TEST(NonlinearColumn, FrequencyIndependentDampingDampsEveryModeAlike) {
  const int n = 12;
  const double h = 2.5, rho = 1.8, vs = 200, xi = 0.04;
  const std::vector<Element> els(n, layer(h, rho, vs, xi));
  const double m = rho * h, k = rho * vs * vs / h;
  const auto rec = record(3000, 0.01, 0.05);
  const int ns = 8;
  const double dt = rec.dt / ns;
  Options o;
  o.base = Base::Rigid;
  o.substeps = ns;
  o.tol = 1e-13;
  o.viscous = Viscous::FrequencyIndependent;
  const Result r = run(els, {30, 760, 0.01}, rec, o);
  EXPECT_EQ(r.unconverged, 0);

  // The reference, bin by bin, as frequency_domain() builds its input.
  const std::size_t nf = (rec.a.size() - 1) * ns + 1;
  std::size_t L = 1;
  while (L < 4 * nf) L <<= 1;
  std::vector<Cd> ag(L, 0.0);
  for (std::size_t i = 0; i < nf; ++i) {
    const std::size_t s = i / ns;
    const double t = static_cast<double>(i % ns) / ns;
    ag[i] = s + 1 < rec.a.size() ? rec.a[s] + t * (rec.a[s + 1] - rec.a[s]) : rec.a[s];
  }
  fft(ag, -1);
  std::vector<double> w(n), P(n);
  for (int q = 0; q < n; ++q) {
    const double theta = (2 * q + 1) * PI_D / (2 * n);
    w[q] = 2 * std::sqrt(k / m) * std::sin(theta / 2);
    double L1 = 0, Mq = 0;
    for (int j = 0; j < n; ++j) {
      const double mass = j == 0 ? m / 2 : m, phi = std::cos(theta * j);
      L1 += mass * phi;
      Mq += mass * phi * phi;
    }
    P[q] = L1 / Mq;  // phi at the surface is 1
  }
  for (std::size_t b = 0; b < L; ++b) {
    double om = 2 * PI_D * static_cast<double>(b) / (static_cast<double>(L) * dt);
    if (b > L / 2) om -= 2 * PI_D / dt;
    const Cd s(0, 2.0 / dt * std::tan(om * dt / 2));
    Cd H = 1.0;
    for (int q = 0; q < n; ++q) H -= P[q] * s * s / (s * s + 2 * xi * w[q] * s + w[q] * w[q]);
    ag[b] *= H;
  }
  fft(ag, +1);
  double diff = 0, top = 0;
  for (std::size_t s = 0; s < rec.a.size(); ++s) {
    const double ref = ag[s * ns].real() / static_cast<double>(L);
    diff = std::max(diff, std::abs(r.surface[s] - ref));
    top = std::max(top, std::abs(ref));
  }
  EXPECT_LT(diff / top, 1e-9);
}

// A uniform layer on a rigid base, meshed finely, against the continuum: the
// surface over the base is 1 / cos(k H), k = w / V*, V*^2 = G (1 + i w beta) / rho
// for stiffness-proportional damping (Rayleigh with f1 near 0). PSA within 0.1 %.
TEST(NonlinearColumn, FineMeshMatchesTheContinuum) {
  const double H = 30.0, rho = 1.8, vs = 200.0, xi = 0.02, f2 = 5.0;
  const int NE = 120, ns = 20;
  std::vector<Element> els(NE, layer(H / NE, rho, vs, xi));
  const auto m = record(3000, 0.01, 0.05);
  Options o;
  o.base = Base::Rigid;
  o.substeps = ns;
  o.f1 = 1e-9;  // alpha = 2 xi w1 w2 / (w1 + w2), nil beside beta's part
  o.f2 = f2;
  const Result r = run(els, {21.0, 760.0, 0.01}, m, o);

  const double beta = 2 * xi / (2 * PI_D * (o.f1 + f2));
  const std::size_t nf = (m.a.size() - 1) * ns + 1;
  std::size_t L = 1;
  while (L < 4 * nf) L <<= 1;
  const double dt = m.dt / ns;
  std::vector<Cd> a(L, 0.0);
  for (std::size_t i = 0; i < nf; ++i) {  // the input linear between samples, as the run's
    const std::size_t k = i / ns;
    const double t = static_cast<double>(i % ns) / ns;
    a[i] = k + 1 < m.a.size() ? m.a[k] + t * (m.a[k + 1] - m.a[k]) : m.a[k];
  }
  fft(a, -1);
  for (std::size_t b = 0; b < L; ++b) {
    double w = 2 * PI_D * static_cast<double>(b) / (static_cast<double>(L) * dt);
    if (b > L / 2) w -= 2 * PI_D / dt;
    const Cd v = std::sqrt(Cd(vs * vs, vs * vs * w * beta));
    a[b] /= std::cos(w * H / v);
  }
  fft(a, +1);
  std::vector<float> ours, exact;
  for (std::size_t k = 0; k < m.a.size(); ++k) {
    ours.push_back(static_cast<float>(r.surface[k]));
    exact.push_back(static_cast<float>(a[k * ns].real() / static_cast<double>(L)));
  }
  const auto periods = korvo::spectra::log_periods(0.05f, 3.0f, 30);
  const auto p = korvo::spectra::response_spectrum(ours, 0.01f, periods, 0.05f);
  const auto q = korvo::spectra::response_spectrum(exact, 0.01f, periods, 0.05f);
  for (std::size_t i = 0; i < periods.size(); ++i)
    EXPECT_NEAR(p.rows[i].psa / q.rows[i].psa, 1.0, 1e-3) << periods[i] << " s";
}

TEST(NonlinearColumn, RayleighDefaultsToTheFundamentalFrequency) {
  // Travel time 10/200 + 20/400 = 0.1 s: f1 = 1 / (4 * 0.1) = 2.5 Hz.
  const std::vector<Element> els = {layer(10, 2, 200, 0.02), layer(20, 2, 400, 0.02)};
  const Result r = run(els, {20, 800, 0}, record(50, 0.01, 0.01), Options{});
  EXPECT_NEAR(r.f1, 2.5, 1e-12);
  EXPECT_NEAR(r.f2, 12.5, 1e-12);
}

// A record that eases onto a constant acceleration a0 and holds it: once the
// motion has died out, each element carries the weight of the masses above
// it, a0 rho h (j + 1/2) for element j, lumped or continuous alike, so the
// surface lags the base by the sum of the strains times h. On an elastic
// base the column drifts on the dashpot at a steady velocity, which
// mass-proportional damping would resist: there it has none.
TEST(NonlinearColumn, SteadyAccelerationLeavesTheStaticDeflection) {
  const double a0 = 0.02, T = 6.0;  // g, s
  korvo::column::Motion m;
  m.dt = 0.01;
  m.to_si = 9.80665;
  for (int i = 0; i < 1500; ++i) {
    const double t = i * m.dt;
    m.a.push_back(t < T ? a0 * (1 - std::cos(PI_D * t / T)) / 2 : a0);
  }
  for (Base base : {Base::Elastic, Base::Rigid})
    for (double gamma_r : {0.0, 0.05}) {  // linear, then an MKZ hyperbola
      std::vector<Element> els(10, layer(1.0, 2.0, 100.0, base == Base::Rigid ? 0.3 : 0.0));
      for (Element& e : els) {
        e.hysteretic = gamma_r > 0;
        e.gamma_r = gamma_r;
      }
      Options o;
      o.base = base;
      o.substeps = 5;
      o.tol = 1e-10;
      o.depths = {10.0};
      const Result r = run(els, {20, 600, 0}, m, o);
      double lag = 0;  // m
      for (int j = 0; j < 10; ++j) {
        const double t = a0 * m.to_si * 2.0 * (j + 0.5);
        const double G = els[0].gmax;
        lag += gamma_r > 0 ? t / (G - t / (gamma_r / 100)) : t / G;
      }
      const char* what = base == Base::Rigid ? "rigid" : "elastic";
      // The ramp's small dynamic overshoot leaves a hysteretic element just
      // past its backbone strain (measured 5e-4 and 7e-4 of the lag).
      const double tol = gamma_r > 0 ? 1e-3 : 2e-5;
      ASSERT_EQ(r.displacement_residual.size(), 11u);
      EXPECT_NEAR(r.node_depth[10], 10.0, 1e-12);
      EXPECT_NEAR(r.displacement_residual[0] * m.to_si, -lag, tol * lag) << what << gamma_r;
      EXPECT_EQ(r.displacement_residual[10], 0.0);
      EXPECT_GE(r.displacement_peak[0] * m.to_si, lag * (1 - 2e-5)) << what << gamma_r;
      // Surface and base differ by the lag; velocities agree at rest.
      const std::size_t n = m.a.size() - 1;
      EXPECT_NEAR((r.surface_displacement[n] - r.at_displacement[0][n]) * m.to_si, -lag, tol * lag);
      EXPECT_NEAR(r.surface_velocity[n], r.at_velocity[0][n], 1e-9 * r.at_velocity[0][n]);
      if (base == Base::Rigid) {
        // The base moves with the record: its velocity is the record's
        // exact integral, the trapezoid over its samples.
        double vel = 0;
        for (std::size_t k = 1; k <= n; ++k) {
          vel += m.dt * (m.a[k - 1] + m.a[k]) / 2;
          ASSERT_NEAR(r.at_velocity[0][k], vel, 1e-12 * (1 + vel)) << "sample " << k;
        }
        // Under the held acceleration its displacement is the parabola
        // exactly: d(t) = d(T) + v(T) (t - T) + a0 (t - T)^2 / 2.
        const std::size_t kT = 600;  // t = T
        const double s = static_cast<double>(n - kT) * m.dt;
        const auto& d = r.at_displacement[0];
        EXPECT_NEAR(d[n] - d[kT], r.at_velocity[0][kT] * s + a0 * s * s / 2, 1e-9 * d[n]);
      }
    }
}

Element mkz(double gamma_r_pct, double s) {
  Element e = layer(1, 2, 100, 0.0);
  e.hysteretic = true;
  e.gamma_r = gamma_r_pct;
  e.s = s;
  return e;
}

// Walks the strain (%) along straight legs in small increments, committing each.
double walk(const Element& e, Hysteresis& h, std::initializer_list<double> points) {
  for (double p : points) {
    const double from = h.g_now;
    for (int i = 1; i <= 400; ++i) commit(e, h, from + (p / 100 - from) * i / 400);
  }
  return h.tau_now;
}

// GQ/H with a reference strain tau_max / Gmax of 0.05 %.
Element gqh(std::initializer_list<double> theta) {
  Element e = mkz(0.05, 1.0);
  e.model = Model::Gqh;
  e.tau_max = e.gmax * 0.05 / 100;
  std::copy(theta.begin(), theta.end(), e.theta);
  return e;
}

// The published backbones, written out here for the oracles.
double stress(const Element& e, double g) {
  if (e.model == Model::Mkz) return e.gmax * g / (1 + e.beta * std::pow(g * 100 / e.gamma_r, e.s));
  const double* t = e.theta;
  const double x = g * e.gmax / e.tau_max, p = std::pow(x, t[4]);
  const double theta = t[0] + t[1] * t[3] * p / (std::pow(t[2], t[4]) + t[3] * p);
  return e.tau_max * 2 * x / (1 + x + std::sqrt((1 + x) * (1 + x) - 4 * theta * x));
}

// Masing's loop area from the backbone's integral; the non-Masing loop has
// F(gm) times that area, F = p1 - p2 (1 - G/Gmax)^p3.
TEST(NonlinearSoil, LoopAreaMatchesTheBackbonesIntegral) {
  const double amps[] = {0.01, 0.1, 1.0};  // %
  const Element soils[] = {mkz(0.05, 1.0), mkz(0.05, 0.8), gqh({-2.0, 2.5, 0.5, 1.0, 0.8}),
                           gqh({0.3, 0.6, 2.0, 1.5, 1.4})};
  for (Unloading u : {Unloading::Masing, Unloading::Mrdf})
    for (Element e : soils) {
      e.p1 = 0.85, e.p2 = 0.55, e.p3 = 1.3;
      const bool hyperbola = e.model == Model::Mkz && e.s == 1.0;
      std::string what = e.model == Model::Gqh ? "gqh" : "mkz s " + std::to_string(e.s);
      what += u == Unloading::Mrdf ? " mrdf" : " masing";
      for (double amp : amps) {
        const double ga = amp / 100;
        Hysteresis h;
        start(e, h, u);
        walk(e, h, {amp});
        const double ta = h.tau_now;
        // The loop area by the trapezoid rule along the model's own path.
        double area = 0;
        const int n = 100000;
        for (double target : {-ga, ga}) {
          const double from = h.g_now;
          for (int i = 1; i <= n; ++i) {
            const double g0 = h.g_now, t0 = h.tau_now;
            commit(e, h, from + (target - from) * i / n);
            area += (h.g_now - g0) * (h.tau_now + t0) / 2;
          }
        }
        EXPECT_NEAR(h.tau_now, ta, 1e-12 * ta);  // the loop closes on itself
        EXPECT_NEAR(ta, stress(e, ga), 1e-12 * ta) << what;
        // Masing: loop area 8 * integral of the backbone - 4 ta ga, by Simpson.
        const int m = 200000;
        double integral = 0;
        for (int i = 0; i <= m; ++i)
          integral += stress(e, ga * i / m) * (i == 0 || i == m ? 1 : (i % 2 ? 4 : 2));
        integral *= ga / m / 3;
        const double xi_masing = (8 * integral - 4 * ta * ga) / (4 * PI_D * ta * ga / 2);
        const double F =
            u == Unloading::Masing ? 1.0 : 0.85 - 0.55 * std::pow(1 - ta / (e.gmax * ga), 1.3);
        EXPECT_NEAR(area / (4 * PI_D * ta * ga / 2), F * xi_masing, 1e-6) << what << " " << amp;
        EXPECT_NEAR(masing_damping(e, ga), xi_masing, 1e-9) << what << " " << amp;
        if (hyperbola) {  // in closed form too
          const double x = amp / 0.05;
          const double closed = 4 / PI_D * (1 + 1 / x) * (1 - std::log(1 + x) / x) - 2 / PI_D;
          EXPECT_NEAR(xi_masing, closed, 1e-9);
        }
      }
    }
}

// GQ/H: Gmax at small strain, the strength as the strain grows, the stress
// rising all the way, and a tangent that is the stress's derivative (which
// Newton's convergence rests on).
TEST(NonlinearSoil, GqhBackboneApproachesTheStrength) {
  for (const Element& e : {gqh({-2.0, 2.5, 0.5, 1.0, 0.8}), gqh({0.3, 0.6, 2.0, 1.5, 1.4}),
                           gqh({1.0, 0.0, 1.0, 1.0, 1.0}), gqh({-6.0, 6.9, 0.1, 2.0, 0.5})}) {
    const std::string what = "theta1 " + std::to_string(e.theta[0]);
    const bool plastic = e.theta[0] + e.theta[1] == 1.0;
    double t = 0, k = 0, last = 0;
    backbone(e, 1e-9, t, k);
    EXPECT_NEAR(t / 1e-9, e.gmax, 1e-4 * e.gmax) << what;
    for (double x = 1e-3; x < 2e6; x *= 1.1) {  // x = strain over tau_max / Gmax
      const double g = x * e.tau_max / e.gmax;
      backbone(e, g, t, k);
      EXPECT_NEAR(t, stress(e, g), 1e-12 * t) << what;
      if (plastic) {  // theta = 1: tau_max from x = 1 on
        EXPECT_NEAR(t, std::min(x, 1.0) * e.tau_max, 1e-12 * e.tau_max) << " x " << x;
      } else {
        EXPECT_GT(t, last) << what << " x " << x;
        EXPECT_LT(t, e.tau_max) << what << " x " << x;
      }
      last = t;
      if (plastic && std::abs(x - 1) < 0.2) continue;  // its corner
      const double h = 1e-6 * g;
      double tp = 0, tm = 0, kk = 0;
      backbone(e, g + h, tp, kk);
      backbone(e, g - h, tm, kk);
      EXPECT_NEAR(k, (tp - tm) / (2 * h), 1e-6 * e.gmax) << what << " x " << x;
    }
    EXPECT_GT(last, 0.999 * e.tau_max) << what;
    backbone(e, -0.01, t, k);  // odd
    double tpos = 0;
    backbone(e, 0.01, tpos, k);
    EXPECT_EQ(t, -tpos);
  }
}

TEST(NonlinearSoil, GqhFitFollowsTheCurveBelowTheStrength) {
  // Its own curve back, and a Darendeli curve (gamma_r 0.05 %, a 0.92)
  // under a strength twice the stress it implies at 0.1 %.
  const Element own = gqh({-2.0, 2.5, 0.5, 1.0, 0.8});
  std::vector<double> strain, g_own, g_dar;
  for (double g = 1e-4; g <= 0.1001; g *= std::pow(10.0, 0.25)) {
    strain.push_back(g);
    g_own.push_back(stress(own, g / 100) / (own.gmax * g / 100));
    g_dar.push_back(1 / (1 + std::pow(g / 0.05, 0.92)));
  }
  const GqhFit a = fit_gqh(own.gmax, own.tau_max, strain, g_own);
  EXPECT_LT(a.error, 1e-4);
  const double tau_max = 2 * own.gmax * 0.001 / (1 + std::pow(0.1 / 0.05, 0.92));
  const GqhFit b = fit_gqh(own.gmax, tau_max, strain, g_dar);
  EXPECT_LT(b.error, 0.01);
  EXPECT_LE(b.theta[0] + b.theta[1], 1.0);
  EXPECT_THROW(fit_gqh(own.gmax, 0.0, strain, g_dar), korvo::Error);
}

TEST(NonlinearSoil, ReversalMemory) {
  Element e = mkz(0.05, 0.9);
  e.p1 = 0.9, e.p2 = 0.7, e.p3 = 0.8;
  for (Unloading u : {Unloading::Masing, Unloading::Mrdf}) {
    auto at = [&](std::initializer_list<double> path) {
      Hysteresis h;
      start(e, h, u);
      return walk(e, h, path);
    };
    auto bb = [&](double pct) {
      double t, k;
      backbone(e, pct / 100, t, k);
      return t;
    };
    struct Case {
      const char* what;
      double got, want;
    } cases[] = {
        {"inner loop closes, outer branch goes on", at({0.5, -0.2, 0.3, 0.1, 0.4}),
         at({0.5, -0.2, 0.4})},
        {"back at the inner reversal point", at({0.5, -0.2, 0.3, 0.1, 0.3}), at({0.5, -0.2, 0.3})},
        {"back at the backbone's reversal point", at({0.5, -0.2, 0.5}), bb(0.5)},
        {"past it, on the backbone", at({0.5, -0.2, 0.7}), bb(0.7)},
        {"the mirror of the reversal, then the backbone", at({0.5, -0.7}), bb(-0.7)},
        {"nested loops all closed", at({0.5, -0.4, 0.3, -0.2, 0.1, 0.0, 0.6}), bb(0.6)},
        {"nested loops closed one by one", at({0.5, -0.4, 0.3, -0.2, 0.1, -0.3}),
         at({0.5, -0.4, 0.3, -0.3})},
    };
    for (const Case& c : cases)
      EXPECT_NEAR(c.got, c.want, 1e-12 * std::abs(c.want))
          << c.what << " mrdf " << (u == Unloading::Mrdf);
    // Closed loops are forgotten: only the reversal at 0.5 remains.
    Hysteresis h;
    start(e, h, u);
    walk(e, h, {0.5, -0.4, 0.3, -0.2, 0.1, 0.35});
    EXPECT_EQ(h.g.size(), 2u);
  }
}

TEST(NonlinearSoil, MrdfFitRecoversItsFactor) {
  const Element e = mkz(0.06, 0.9);
  std::vector<double> strain, damping;
  for (double g = 1e-4; g < 5; g *= 1.8) {
    const double F = 0.95 - 0.7 * std::pow(1 - 1 / (1 + std::pow(g / 0.06, 0.9)), 1.6);
    strain.push_back(g);
    damping.push_back(F * masing_damping(e, g / 100));
  }
  const MrdfFit f = fit_mrdf(e, strain, damping);
  EXPECT_NEAR(f.p1, 0.95, 1e-6);
  EXPECT_NEAR(f.p2, 0.7, 1e-6);
  EXPECT_NEAR(f.p3, 1.6, 1e-5);
  EXPECT_LT(f.error, 1e-6);
  // A curve above Masing's at large strain would want F < 0 nowhere, but
  // one falling to nothing must not get F below 0.
  for (double& d : damping) d = 0;
  const MrdfFit zero = fit_mrdf(e, strain, damping);
  EXPECT_GE(zero.p1, 0.0);
  EXPECT_GE(zero.p1 - zero.p2, 0.0);
}

TEST(NonlinearSoil, FitRecoversAnMkzTable) {
  korvo::column::Curve c;
  for (double g = 1e-4; g < 3; g *= 2) {
    c.strain_pct.push_back(g);
    c.value.push_back(1 / (1 + std::pow(g / 0.08, 0.85)));
  }
  const Fit f = fit_mkz(c);
  EXPECT_NEAR(f.gamma_r, 0.08, 1e-8);
  EXPECT_NEAR(f.s, 0.85, 1e-8);
  EXPECT_LT(f.error, 1e-10);
  korvo::column::Curve flat{{0.001, 0.01, 0.1}, {1, 1, 1}};
  EXPECT_THROW(fit_mkz(flat), korvo::Error);
}

// A 30 m clay column of 70 elements, softening with Darendeli-like
// backbones, at 0.3 g.
std::vector<Element> clay() {
  std::vector<Element> els;
  for (int i = 0; i < 70; ++i) {
    const double z = (i + 0.5) * 30.0 / 70;
    Element e = layer(30.0 / 70, 1.75, 140 + 6 * z, 0.02);
    e.hysteretic = true;
    e.gamma_r = 0.04 + 0.004 * z;
    e.s = 0.92;
    els.push_back(e);
  }
  return els;
}

TEST(NonlinearColumn, HalvingTheTimeStepKeepsThePga) {
  const auto els = clay();
  const auto m = record(2048, 0.01, 0.3);
  const korvo::column::HalfSpace hs{22, 760, 0.01};
  Options o;
  o.substeps = 20;
  const Result a = run(els, hs, m, o);
  o.substeps = 40;
  const Result b = run(els, hs, m, o);
  EXPECT_EQ(a.unconverged + b.unconverged, 0);
  EXPECT_GT(peak(b.strain_peak), 0.1);  // well into the nonlinear range
  EXPECT_LT(std::abs(peak(a.surface) / peak(b.surface) - 1), 1e-4);
  // And the 5 % spectrum within 0.3 % at every period.
  auto psa = [](const std::vector<double>& x) {
    const std::vector<float> f(x.begin(), x.end());
    return korvo::spectra::response_spectrum(f, 0.01f, korvo::spectra::log_periods(0.02f, 5.0f, 40),
                                             0.05f);
  };
  const auto pa = psa(a.surface), pb = psa(b.surface);
  for (std::size_t i = 0; i < pa.rows.size(); ++i)
    EXPECT_NEAR(pa.rows[i].psa / pb.rows[i].psa, 1.0, 3e-3) << pa.rows[i].period << " s";
}

// A peak kept alone is the peak of the history the same depth would keep:
// at the surface, a node, inside an element and at the base, on both bases.
TEST(NonlinearColumn, PeaksAloneMatchTheHistories) {
  const auto m = record(600, 0.01, 0.3);
  const korvo::column::HalfSpace hs{22, 760, 0.01};
  for (Base base : {Base::Elastic, Base::Rigid}) {
    Options o;
    o.base = base;
    o.substeps = 4;
    o.depths = {0.0, 30.0 / 70 * 12, 7.3, 30.0};
    o.peak_depths = {7.3, 30.0, 0.0, 30.0 / 70 * 12};
    const Result r = run(clay(), hs, m, o);
    ASSERT_EQ(r.peak_at.size(), 4u);
    for (std::size_t d = 0; d < 4; ++d) EXPECT_EQ(r.peak_at[d], peak(r.at[(d + 2) % 4])) << d;
    EXPECT_GT(r.peak_at[2], r.peak_at[1] * 1.05) << "the surface amplifies";
  }
}

// The vector kernels against the general code on columns that reverse, close
// loops and rejoin the backbone: the same bits, Masing and MRDF, both bases;
// 70 elements leave two for the general code after the last group of four,
// and a GQ/H element takes its group out of the kernels.
TEST(NonlinearColumn, VectorKernelsGiveTheGeneralCodesBits) {
  if (korvo::simd_level() == korvo::Simd::scalar) GTEST_SKIP() << "no vector kernels here";
  const auto m = record(1200, 0.01, 0.4);
  const korvo::column::HalfSpace hs{22, 760, 0.01};
  auto mixed = clay();
  mixed[9].model = Model::Gqh;
  mixed[9].tau_max = 60.0;
  mixed[9].theta[0] = 0.5, mixed[9].theta[1] = 0.4;
  for (Unloading unloading : {Unloading::Masing, Unloading::Mrdf})
    for (Base base : {Base::Elastic, Base::Rigid})
      for (const auto& els : {clay(), mixed}) {
        std::vector<Element> column = els;
        for (Element& e : column) e.p1 = 0.9, e.p2 = 0.5, e.p3 = 1.2;
        Options o;
        o.unloading = unloading;
        o.base = base;
        o.substeps = 4;
        o.loop_elements = {2, 68};
        const Result a = run(column, hs, m, o);
        o.vectors = false;
        const Result b = run(column, hs, m, o);
        EXPECT_GT(peak(a.strain_peak), 0.3);
        EXPECT_EQ(a.iterations, b.iterations);
        EXPECT_EQ(a.surface, b.surface);
        EXPECT_EQ(a.strain_peak, b.strain_peak);
        EXPECT_EQ(a.stress_peak, b.stress_peak);
        EXPECT_EQ(a.displacement_residual, b.displacement_residual);
        EXPECT_EQ(a.loops[1].stress, b.loops[1].stress);
        EXPECT_EQ(a.energy.hysteretic, b.energy.hysteretic);
        EXPECT_EQ(a.energy.strain, b.energy.strain);
      }
}

// The first solve of a step starts from each element's tangent carried to
// the middle of the step, and from the new branch's where the strain is
// about to turn, so that most steps converge on one solve. On this column
// (measured, Masing and MRDF): the tangent at the start of the step takes
// 1.17 and 1.16 solves a step, the one carried to the middle 1.06 and 1.05,
// with the turns foreseen 1.03 and 1.04.
TEST(NonlinearColumn, PredictedTangentsKeepNewtonNearOneSolveAStep) {
  const auto m = record(1200, 0.01, 0.3);
  const korvo::column::HalfSpace hs{22, 760, 0.01};
  for (Unloading unloading : {Unloading::Masing, Unloading::Mrdf}) {
    auto els = clay();
    for (Element& e : els) e.p1 = 0.9, e.p2 = 0.5, e.p3 = 1.2;
    Options o;
    o.unloading = unloading;
    const Result r = run(els, hs, m, o);
    EXPECT_GT(peak(r.strain_peak), 0.1);
    EXPECT_LT(static_cast<double>(r.iterations) / static_cast<double>(r.steps), 1.045);
  }
}

TEST(NonlinearColumn, EnergyBalances) {
  auto m = record(2048, 0.01, 0.3);
  m.a.resize(600);  // ends in the strong shaking: kinetic and strain energy are left
  const korvo::column::HalfSpace hs{22, 760, 0.01};
  struct Case {
    Base base;
    bool hysteretic;
    Unloading unloading;
    Model model;
    Viscous viscous = Viscous::Rayleigh;
  } cases[] = {
      {Base::Elastic, true, Unloading::Masing, Model::Mkz},
      {Base::Rigid, true, Unloading::Masing, Model::Mkz},
      {Base::Elastic, false, Unloading::Masing, Model::Mkz},
      {Base::Rigid, false, Unloading::Masing, Model::Mkz},
      {Base::Elastic, true, Unloading::Mrdf, Model::Mkz},
      {Base::Rigid, true, Unloading::Mrdf, Model::Mkz},
      {Base::Elastic, true, Unloading::Masing, Model::Gqh},
      {Base::Rigid, true, Unloading::Mrdf, Model::Gqh},
      {Base::Elastic, true, Unloading::Masing, Model::Mkz, Viscous::FrequencyIndependent},
      {Base::Rigid, false, Unloading::Masing, Model::Mkz, Viscous::FrequencyIndependent},
  };
  for (const Case& c : cases) {
    auto els = clay();
    for (Element& e : els) {
      e.hysteretic = c.hysteretic;
      e.p1 = 0.9, e.p2 = 0.6, e.p3 = 1.2;
      e.model = c.model;
      e.tau_max = e.gmax * 2 * e.gamma_r / 100;
      const double theta[5] = {-2.0, 2.5, 0.5, 1.0, 0.8};
      std::copy(theta, theta + 5, e.theta);
    }
    Options o;
    o.base = c.base;
    o.unloading = c.unloading;
    o.viscous = c.viscous;
    const Result r = run(els, hs, m, o);
    const Energy& E = r.energy;
    const double sum = E.kinetic + E.strain + E.hysteretic + E.viscous + E.radiation;
    const std::string what = std::string(c.base == Base::Rigid ? "rigid" : "elastic") +
                             (c.hysteretic ? " hysteretic" : " linear") +
                             (c.unloading == Unloading::Mrdf ? " mrdf" : "") +
                             (c.model == Model::Gqh ? " gqh" : "") +
                             (c.viscous == Viscous::FrequencyIndependent ? " fi" : "");
    EXPECT_GT(E.input, 0.0);
    EXPECT_NEAR(sum, E.input, 1e-3 * E.input) << what;
    EXPECT_GT(E.viscous, 0.0);
    EXPECT_EQ(E.radiation > 0.0, c.base == Base::Elastic);
    EXPECT_GT(E.kinetic + E.strain, 1e-3 * E.input);
    EXPECT_EQ(r.unconverged, 0) << what;
    if (c.hysteretic) {
      EXPECT_GT(peak(r.strain_peak), 0.1);
      EXPECT_GT(E.hysteretic, 0.1 * E.input) << what;  // the loops take a good share
    } else {                                           // a linear element's work is all recoverable
      EXPECT_NEAR(E.hysteretic, 0.0, 1e-9 * E.input) << what;
    }
  }
}

TEST(NonlinearColumn, MeshKeepsEachSublayersSoil) {
  using korvo::column::Model;
  const korvo::column::CurveSet soft{
      "soft", {{0.001, 0.01, 0.1, 1.0}, {1.0, 0.9, 0.5, 0.15}}, {{0.001, 1.0}, {0.01, 0.03}}};
  std::vector<korvo::column::Sublayer> subs(3);
  subs[0] = {0, 0.0, 3.0, 1.5, 1.8, 150, 50, {Model::Darendeli, nullptr, 0.07, 0.92, 1, 0.012}};
  subs[1] = {1, 3.0, 2.5, 4.25, 1.7, 120, 0, {Model::Table, &soft}};
  subs[2] = {2, 5.5, 4.0, 7.5, 2.1, 500, 0, {Model::Linear, nullptr, 0, 1, 1, 0, 0.015}};
  const auto els = mesh(subs, 1.0);
  ASSERT_EQ(els.size(), 3u + 3u + 4u);  // each sublayer in equal parts of 1 m or less
  double z = 0;
  for (const Element& e : els) {
    const auto& sub = subs[static_cast<std::size_t>(e.layer)];
    EXPECT_NEAR(e.top, z, 1e-12);
    EXPECT_NEAR(e.thickness, sub.thickness / std::ceil(sub.thickness), 1e-15);
    EXPECT_NEAR(e.gmax, sub.rho * sub.vs0 * sub.vs0, 1e-9);
    z += e.thickness;
    const double want_xi[] = {0.012, 0.01, 0.015};  // the table: its first damping
    EXPECT_EQ(e.xi, want_xi[e.layer]);
    EXPECT_EQ(e.hysteretic, e.layer != 2);
    if (e.layer == 0) {  // Darendeli: its reference strain and curvature, beta 1
      EXPECT_EQ(e.gamma_r, 0.07);
      EXPECT_EQ(e.s, 0.92);
      // Its damping above Dmin is Masing's times b (G/Gmax)^0.1, nearly:
      // F fits it within 0.5 % (measured 0.30 %), and no more than 1.
      EXPECT_GT(e.damping_fit_error, 0.0);
      EXPECT_LT(e.damping_fit_error, 0.5);
      EXPECT_LE(e.p1, 1.0);
      EXPECT_GE(e.p1 - e.p2, 0.0);
    } else if (e.layer == 1) {  // fitted: G/Gmax 0.5 near 0.1 %
      EXPECT_NEAR(1 / (1 + std::pow(0.1 / e.gamma_r, e.s)), 0.5, 3 * e.fit_error);
      EXPECT_GT(e.fit_error, 0.0);
      EXPECT_LT(e.fit_error, 0.05);
    }
  }
  EXPECT_NEAR(z, 9.5, 1e-12);
}

// The profile's GQ/H keys: the strength given, or from the friction angle on
// the effective vertical stress at each sublayer's mid-depth; mistakes are
// refused naming the line.
TEST(NonlinearColumn, ProfileGivesGqhStrength) {
  const std::string head = "water_table = 2.0\n";
  const std::string tail = "[halfspace]\nunit_weight = 22.0\nvs = 760.0\ndamping_pct = 1.0\n";
  auto layer = [](const std::string& extra) {
    return "[[layer]]\nname = \"clay\"\nthickness = 4.0\nunit_weight = 18.0\nvs = 150.0\n"
           "model = \"darendeli\"\nplasticity_index = 20\nocr = 1\nk0 = 0.5\nsublayers = 2\n" +
           extra;
  };
  {
    const auto col = korvo::column::read_column(
        head + layer("nonlinear = \"gqh\"\nfriction_angle = 30\n") +
            layer("nonlinear = \"gqh\"\nsu = 40\ngqh = [-2, 2.5, 0.5, 1, 0.8]\n") + layer("") +
            tail,
        "p.toml");
    const auto subs = korvo::column::divide(col, 25.0);
    ASSERT_EQ(subs.size(), 6u);
    // Mid-depths 1 and 3 m, water from 2 m: 18 z - 9.80665 max(0, z - 2).
    EXPECT_NEAR(subs[0].tau_max, 18.0 * std::tan(PI_D / 6), 1e-12);
    EXPECT_NEAR(subs[1].tau_max, (54.0 - 9.80665) * std::tan(PI_D / 6), 1e-12);
    EXPECT_EQ(subs[2].tau_max, 40.0);
    EXPECT_FALSE(subs[4].gqh);
    const auto els = mesh(subs, 0.0);
    EXPECT_EQ(els[0].model, Model::Gqh);
    EXPECT_GT(els[0].fit_error, 0.0);
    EXPECT_LT(els[0].fit_error, 0.01);  // G/Gmax up to 0.1 %
    EXPECT_EQ(els[2].theta[0], -2.0);
    EXPECT_EQ(els[2].theta[4], 0.8);
    EXPECT_EQ(els[4].model, Model::Mkz);
  }
  struct Bad {
    const char* extra;
    const char* says;
  } bad[] = {
      {"nonlinear = \"gqh\"\n", "line 2: layer \"clay\": nonlinear = \"gqh\" needs one of"},
      {"nonlinear = \"gqh\"\nsu = 4\nfriction_angle = 30\n", "needs one of"},
      {"nonlinear = \"gqh\"\nfriction_angle = 90\n", "line 13: layer \"clay\": 'friction_angle'"},
      {"nonlinear = \"gqh\"\nsu = 0\n", "'su' must be positive"},
      {"nonlinear = \"gqh\"\nsu = 4\ngqh = [0.5, 0.6, 1, 1, 1]\n", "line 14:"},
      {"nonlinear = \"gqh\"\nsu = 4\ngqh = [0.5, 0.4, 1, 1]\n", "'gqh' must be [theta1"},
      {"strength = 40\n", "line 12: layer \"clay\": 'strength' belongs to nonlinear = \"gqh\""},
      {"nonlinear = \"hyperbolic\"\n", "'nonlinear' is \"mkz\" or \"gqh\""},
  };
  for (const Bad& b : bad) {
    try {
      korvo::column::read_column(head + layer(b.extra) + tail, "p.toml");
      ADD_FAILURE() << b.extra << " was accepted";
    } catch (const korvo::Error& e) {
      EXPECT_NE(std::string(e.what()).find(b.says), std::string::npos) << e.what();
    }
  }
}

TEST(NonlinearColumn, RefusesBadInput) {
  const auto els = clay();
  const auto m = record(100, 0.01, 0.1);
  Options o;
  o.depths = {31};
  EXPECT_THROW(run(els, {22, 760, 0}, m, o), korvo::Error);
  o = Options{};
  o.loop_elements = {70};
  EXPECT_THROW(run(els, {22, 760, 0}, m, o), korvo::Error);
  EXPECT_THROW(run(els, {0, 0, 0}, m, Options{}), korvo::Error);  // elastic base, no half-space
  o = Options{};
  o.max_iter = 1;
  o.tol = 1e-300;
  o.strict = true;
  EXPECT_THROW(run(els, {22, 760, 0}, m, o), korvo::Error);
  o.strict = false;
  EXPECT_GT(run(els, {22, 760, 0}, m, o).unconverged, 0);
  // A record that overflows the response is refused, not reported as converged.
  auto huge = m;
  huge.a[10] = 1e308;
  EXPECT_THROW(run(els, {22, 760, 0}, huge, Options{}), korvo::Error);
  huge.a[10] = NAN;
  EXPECT_THROW(run(els, {22, 760, 0}, huge, Options{}), korvo::Error);
}

}  // namespace

// The site spectra take the longer half of the periods to a second core:
// both halves at the whole list's oversampling, the rows in order, so the
// bits of the spectrum taken on one core. (Nothing to compare on one core.)
TEST(SiteSpectra, HalvesOnTwoCoresGiveTheWholesBits) {
  if (!korvo::second_thread_runs()) GTEST_SKIP() << "one core: the halves are not taken apart";
  std::vector<double> a(3000);
  for (std::size_t k = 0; k < a.size(); ++k) {
    const double t = 0.01 * static_cast<double>(k);
    a[k] = std::exp(-0.2 * t) * (std::sin(7.0 * t) + 0.4 * std::sin(31.0 * t + 1.0));
  }
  const auto periods = korvo::spectra::log_periods(0.01f, 10.0f, 100);
  const auto two = korvo::column::spectrum_of(a, 0.01, periods, true);
  const auto one = korvo::column::spectrum_of(a, 0.01, periods, false);
  EXPECT_EQ(two.factor, one.factor);
  ASSERT_EQ(two.rows.size(), periods.size());
  ASSERT_EQ(one.rows.size(), periods.size());
  for (std::size_t i = 0; i < periods.size(); ++i) {
    EXPECT_EQ(two.rows[i].period, periods[i]);
    EXPECT_EQ(two.rows[i].psa, one.rows[i].psa) << periods[i];
    EXPECT_EQ(two.rows[i].sv, one.rows[i].sv) << periods[i];
    EXPECT_EQ(two.rows[i].sd, one.rows[i].sd) << periods[i];
  }
}
