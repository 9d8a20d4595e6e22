#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "korvo.h"
#include "rvt/rvt.h"

namespace korvo::rvt {

namespace {

constexpr double PI_D = 3.14159265358979323846;
constexpr double G_CM_S2 = 980.665;  // standard gravity
constexpr double EULER = 0.5772156649015329;

std::string num(double x) {
  char b[32];
  std::snprintf(b, sizeof b, "%.6g", x);
  return b;
}

// Cartwright & Longuet-Higgins (1956): sqrt(2) integral_0^inf 1 - (1 - xi
// exp(-z^2))^Ne dz, xi = Nz / Ne. The integrand is even and analytic in z, so
// the trapezoid rule from 0 converges geometrically with the step (h = 0.1
// agrees with h = 0.01 to 1e-8 up to a million extrema, 4e-7 at 1e9); where
// Ne xi exp(-z^2) > 40 the integrand is 1 to the last bit, and past 1e-17 it
// is nothing, so only the bend between is evaluated.
double clh(double Nz, double Ne) {
  const double xi = std::min(Nz / Ne, 1.0), h = 0.1, s = Ne * xi;
  const double z1 = s > 40.0 ? std::sqrt(std::log(s / 40.0)) : 0.0;
  const double z2 = std::sqrt(std::log(std::max(s, 1.0) * 1e17));
  const long k1 = static_cast<long>(z1 / h);  // points 0 .. k1 - 1 are 1
  double sum = k1 > 0 ? static_cast<double>(k1) - 0.5 : 0.0;
  for (long k = std::max(k1, 0L); static_cast<double>(k) * h <= z2; ++k) {
    const double z = static_cast<double>(k) * h;
    const double g = 1.0 - std::exp(Ne * std::log1p(-xi * std::exp(-z * z)));
    sum += k == 0 ? 0.5 * g : g;
  }
  return std::sqrt(2.0) * h * sum;
}

// Vanmarcke (1975): P(max |y| < r yrms over T) = (1 - e^(-r^2/2)) exp(-Nz
// e^(-r^2/2) (1 - exp(-sqrt(pi/2) de r)) / (1 - e^(-r^2/2))), de = delta^1.2,
// delta = sqrt(1 - m1^2 / (m0 m2)); the mean is the integral of 1 - P over r
// (Simpson's rule with step <= 0.1: the integrand is smooth, all its
// derivatives vanish at 0; within 1.2e-5 of step 0.001 for Nz from 2 to 1e6 and
// delta from 0.02 to 1).
double vanmarcke(double Nz, double delta) {
  const double de = std::pow(delta, 1.2), c = std::sqrt(PI_D / 2.0) * de;
  auto tail = [&](double r) {
    if (r == 0.0) return 1.0;
    // 1 - e loses nothing once e < 0.49 (r > 1.2); below that, expm1.
    const double e = std::exp(-0.5 * r * r), below = r > 1.2 ? 1.0 - e : -std::expm1(-0.5 * r * r);
    return 1.0 - below * std::exp(-Nz * e * (-std::expm1(-c * r)) / below);
  };
  const double r_max = std::sqrt(2.0 * std::log((1.0 + Nz) * 1e17));
  const int n = 2 * static_cast<int>(std::ceil(r_max / 0.2));
  const double h = r_max / n;
  double sum = tail(0.0) + tail(r_max);
  for (int i = 1; i < n; ++i) sum += (i % 2 ? 4.0 : 2.0) * tail(h * i);
  return sum * h / 3.0;
}

// The asymptotic form has no meaning below a couple of crossings; korvo
// holds Nz at 2.1 or more there, where it still gives about 1.5.
double davenport(double Nz) {
  const double s = std::sqrt(2.0 * std::log(std::max(Nz, 2.1)));
  return s + EULER / s;
}

// Der Kiureghian (1985): Davenport's form over an equivalent number of
// crossings that thins them as the band narrows (clumped crossings of a
// narrow band count once per clump): 2 delta Nz (at least 2.1) up to delta
// 0.1, Nz (1.63 delta^0.45 - 0.38) up to 0.69, Nz beyond; the pieces meet
// within 1 % at both joints.
double der_kiureghian(double Nz, double delta) {
  if (delta <= 0.1) return davenport(std::max(2.1, 2.0 * delta * Nz));
  if (delta <= 0.69) return davenport((1.63 * std::pow(delta, 0.45) - 0.38) * Nz);
  return davenport(Nz);
}

// Vanmarcke's bandwidth delta = sqrt(1 - m1^2 / (m0 m2)): 0 for a pure tone.
double bandwidth(const Moments& m) {
  return std::sqrt(std::max(0.0, 1.0 - m.m1 * m.m1 / (m.m0 * m.m2)));
}

bool boore_thompson(PeakFactor f) {
  return f == PeakFactor::BooreThompson2012 || f == PeakFactor::BooreThompson2015;
}

void need_duration(double T, const char* who) {
  if (!(T > 0.0) || !std::isfinite(T))
    throw Error(std::string(who) + ": duration must be positive, got " + num(T));
}

double peak(const Prepared& p, const Moments& m, double rms_duration, const Method& method) {
  if (!(m.m0 > 0.0)) throw Error("rvt: the motion has no energy on the frequency grid");
  return peak_factor(method.peak, m, p.duration) * std::sqrt(m.m0 / rms_duration);
}

}  // namespace

Motion table_motion(std::vector<double> frequency, std::vector<double> amplitude, double duration) {
  if (frequency.size() != amplitude.size())
    throw Error("table motion: " + std::to_string(frequency.size()) + " frequencies but " +
                std::to_string(amplitude.size()) + " amplitudes");
  if (frequency.size() < 2) throw Error("table motion: frequency needs at least two entries");
  for (std::size_t i = 0; i < frequency.size(); ++i) {
    if (!(frequency[i] > 0.0) || !std::isfinite(frequency[i]) ||
        (i > 0 && !(frequency[i] > frequency[i - 1])))
      throw Error("table motion: frequency[" + std::to_string(i) + "] = " + num(frequency[i]) +
                  " (positive and increasing)");
    if (!(amplitude[i] >= 0.0) || !std::isfinite(amplitude[i]))
      throw Error("table motion: amplitude[" + std::to_string(i) + "] = " + num(amplitude[i]) +
                  " (finite, at least 0)");
  }
  need_duration(duration, "table motion");
  return {std::move(frequency), std::move(amplitude), duration};
}

std::vector<double> grid_frequencies(const Grid& g) {
  if (!(g.f_min > 0.0) || !std::isfinite(g.f_min))
    throw Error("grid: f_min must be positive, got " + num(g.f_min));
  if (!(g.f_max > g.f_min) || !std::isfinite(g.f_max))
    throw Error("grid: f_max must exceed f_min, got " + num(g.f_max));
  if (g.per_decade < 1 || g.per_decade > 10000)
    throw Error("grid: per_decade must be 1 to 10000, got " + std::to_string(g.per_decade));
  const double decades = std::log10(g.f_max / g.f_min);
  const int n = std::max(1, static_cast<int>(std::ceil(decades * g.per_decade - 1e-9)));
  if (n > 1000000) throw Error("grid: more than a million points");
  const double h = std::log(g.f_max / g.f_min) / n;
  std::vector<double> f(static_cast<std::size_t>(n) + 1);
  for (int i = 0; i <= n; ++i) f[static_cast<std::size_t>(i)] = g.f_min * std::exp(h * i);
  f.back() = g.f_max;
  return f;
}

Prepared prepare(const Motion& m, const Grid& g) {
  const Motion& t = table_motion(m.frequency, m.amplitude, m.duration);
  const std::vector<double> f = grid_frequencies(g);
  const double h = std::log(g.f_max / g.f_min) / static_cast<double>(f.size() - 1);
  Prepared p;
  p.duration = t.duration;
  p.omega.resize(f.size());
  p.energy.resize(f.size());
  std::size_t j = 1;  // the table's bracket of f: [j - 1, j]
  for (std::size_t i = 0; i < f.size(); ++i) {
    double a = 0.0;
    if (f[i] >= t.frequency.front() && f[i] <= t.frequency.back()) {
      while (t.frequency[j] < f[i]) ++j;
      const double f0 = t.frequency[j - 1], f1 = t.frequency[j];
      const double a0 = t.amplitude[j - 1], a1 = t.amplitude[j];
      const double s = std::log(f[i] / f0) / std::log(f1 / f0);
      a = a0 > 0.0 && a1 > 0.0 ? a0 * std::pow(a1 / a0, s) : a0 + s * (a1 - a0);
    }
    const double w = (i == 0 || i + 1 == f.size()) ? 0.5 * h : h;
    p.omega[i] = 2.0 * PI_D * f[i];
    p.energy[i] = 2.0 * a * a * f[i] * w;
  }
  return p;
}

Moments moments(const Prepared& p, double period, double damping) {
  Moments m;
  const bool ground = period == 0.0;
  const double wn2 = ground ? 0.0 : (2.0 * PI_D / period) * (2.0 * PI_D / period);
  const double zz = 4.0 * damping * damping;
  for (std::size_t i = 0; i < p.omega.size(); ++i) {
    const double w = p.omega[i];
    double e = p.energy[i];
    if (!ground) {
      const double r = w * w / wn2;
      e /= (1.0 - r) * (1.0 - r) + zz * r;
    }
    m.m0 += e;
    m.m1 += e * w;
    m.m2 += e * w * w;
    m.m4 += e * w * w * w * w;
  }
  return m;
}

const char* peak_factor_name(PeakFactor f) {
  switch (f) {
    case PeakFactor::CartwrightLonguetHiggins1956:
      return "Cartwright & Longuet-Higgins (1956)";
    case PeakFactor::Vanmarcke1975:
      return "Vanmarcke (1975)";
    case PeakFactor::Davenport1964:
      return "Davenport (1964)";
    case PeakFactor::DerKiureghian1985:
      return "Der Kiureghian (1985)";
    case PeakFactor::ToroMcGuire1987:
      return "Toro & McGuire (1987)";
    case PeakFactor::BooreThompson2012:
      return "Boore & Thompson (2012)";
    case PeakFactor::BooreThompson2015:
      return "Boore & Thompson (2015)";
  }
  return "?";
}

bool peak_factor_from_keyword(const std::string& word, PeakFactor& f) {
  static const std::pair<const char*, PeakFactor> names[] = {
      {"clh", PeakFactor::CartwrightLonguetHiggins1956},
      {"vanmarcke", PeakFactor::Vanmarcke1975},
      {"davenport", PeakFactor::Davenport1964},
      {"der_kiureghian", PeakFactor::DerKiureghian1985},
      {"toro_mcguire", PeakFactor::ToroMcGuire1987},
      {"bt12", PeakFactor::BooreThompson2012},
      {"bt15", PeakFactor::BooreThompson2015}};
  for (const auto& [name, factor] : names)
    if (word == name) {
      f = factor;
      return true;
    }
  return false;
}

const char* peak_factor_keywords() {
  return "clh, vanmarcke, davenport, der_kiureghian, toro_mcguire, bt12, bt15";
}

double peak_factor(PeakFactor f, const Moments& m, double duration) {
  need_duration(duration, "peak factor");
  if (!(m.m0 > 0.0 && m.m2 > 0.0 && m.m4 > 0.0))
    throw Error("peak factor: moments m0, m2 and m4 must be positive");
  const double Nz = std::sqrt(m.m2 / m.m0) * duration / PI_D;
  switch (f) {
    case PeakFactor::CartwrightLonguetHiggins1956:
    case PeakFactor::BooreThompson2012:
      return clh(Nz, std::sqrt(m.m4 / m.m2) * duration / PI_D);
    case PeakFactor::Vanmarcke1975:
    case PeakFactor::BooreThompson2015:
      return vanmarcke(Nz, bandwidth(m));
    case PeakFactor::Davenport1964:
      return davenport(Nz);
    case PeakFactor::DerKiureghian1985:
      return der_kiureghian(Nz, bandwidth(m));
    case PeakFactor::ToroMcGuire1987:
      return davenport((1.63 * std::pow(bandwidth(m), 0.45) - 0.38) * Nz);
  }
  throw Error("peak factor: unknown method");
}

std::vector<double> psa(const Prepared& p, const std::vector<double>& periods, double damping,
                        Method method) {
  if (!(damping > 0.0 && damping < 1.0))
    throw Error("psa: damping must lie between 0 and 1 (a fraction), got " + num(damping));
  const bool bt = boore_thompson(method.peak);
  const std::vector<double>& c = method.bt_coefficients;
  if (bt && (c.size() != 7 ||
             !std::all_of(c.begin(), c.end(), [](double x) { return std::isfinite(x); })))
    throw Error(std::string("psa: ") + peak_factor_name(method.peak) +
                " needs its seven coefficients c1..c7 (bt_coefficients), got " +
                std::to_string(c.size()));
  std::vector<double> out;
  out.reserve(periods.size());
  for (double Tn : periods) {
    if (!(Tn > 0.0) || !std::isfinite(Tn))
      throw Error("psa: period must be positive, got " + num(Tn));
    const Moments m = moments(p, Tn, damping);
    double Trms = p.duration;
    if (bt) {
      const double e = Tn / p.duration, ec3 = std::pow(e, c[2]);
      Trms *= (c[0] + c[1] * (1.0 - ec3) / (1.0 + ec3)) *
              (1.0 + c[3] / (2.0 * PI_D * damping) *
                         std::pow(e / (1.0 + c[4] * std::pow(e, c[5])), c[6]));
      if (!(Trms > 0.0) || !std::isfinite(Trms))
        throw Error(std::string("psa: ") + peak_factor_name(method.peak) +
                    " coefficients give an rms duration of " + num(Trms) + " s at " + num(Tn) +
                    " s");
    } else if (method.oscillator_duration) {
      const double g3 = std::pow(p.duration / Tn, 3.0);
      Trms += Tn / (2.0 * PI_D * damping) * g3 / (g3 + 1.0 / 3.0);
    }
    double y = peak(p, m, Trms, method);
    // Toro & McGuire: an oscillator starting at rest needs time to build up,
    // sqrt(1 - exp(-4 pi zeta fn Tgm)) (the exponent past 50: 1 in double).
    if (method.peak == PeakFactor::ToroMcGuire1987)
      y *= std::sqrt(-std::expm1(-4.0 * PI_D * damping * p.duration / Tn));
    out.push_back(y);
  }
  return out;
}

double pga(const Prepared& p, Method method) {
  return peak(p, moments(p, 0.0), p.duration, method);
}

double pgv(const Prepared& p, Method method) {
  Prepared v = p;  // the velocity spectrum is the acceleration's over omega
  for (std::size_t i = 0; i < v.energy.size(); ++i) v.energy[i] /= v.omega[i] * v.omega[i];
  return G_CM_S2 * peak(v, moments(v, 0.0), v.duration, method);
}

}  // namespace korvo::rvt
