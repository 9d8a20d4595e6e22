#include <cmath>
#include <cstdio>
#include <string>

#include "korvo.h"
#include "rvt/rvt.h"

namespace korvo::rvt {

namespace {

constexpr double PI_D = 3.14159265358979323846;
constexpr double G_CM_S2 = 980.665;  // standard gravity

std::string num(double x) {
  char b[32];
  std::snprintf(b, sizeof b, "%.6g", x);
  return b;
}

void need(bool ok, const char* what, const char* rule, double got) {
  if (!ok)
    throw Error(std::string("point source: ") + what + " must be " + rule + ", got " + num(got));
}

void check_pieces(const std::vector<Piece>& pieces, const char* what) {
  if (pieces.empty()) throw Error(std::string("point source: ") + what + " has no pieces");
  need(pieces[0].from_km == 0.0, what, "a first piece from 0 km", pieces[0].from_km);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    need(std::isfinite(pieces[i].value), what, "finite", pieces[i].value);
    if (i > 0)
      need(std::isfinite(pieces[i].from_km) && pieces[i].from_km > pieces[i - 1].from_km, what,
           "in increasing distances", pieces[i].from_km);
  }
}

void check(const PointSource& p) {
  auto positive = [](double x) { return std::isfinite(x) && x > 0.0; };
  need(std::isfinite(p.magnitude) && p.magnitude > -2.0 && p.magnitude < 10.0, "magnitude",
       "between -2 and 10", p.magnitude);
  need(positive(p.distance_km), "distance_km", "positive", p.distance_km);
  need(positive(p.stress_drop), "stress_drop", "positive", p.stress_drop);
  need(positive(p.velocity), "velocity", "positive", p.velocity);
  need(positive(p.density), "density", "positive", p.density);
  need(positive(p.radiation), "radiation", "positive", p.radiation);
  need(positive(p.free_surface), "free_surface", "positive", p.free_surface);
  need(positive(p.partition), "partition", "positive", p.partition);
  need(positive(p.reference_km), "reference_km", "positive", p.reference_km);
  need(positive(p.q0), "q0", "positive", p.q0);
  need(std::isfinite(p.eta), "eta", "finite", p.eta);
  need(p.q_velocity == 0.0 || positive(p.q_velocity), "q_velocity", "positive (or 0)",
       p.q_velocity);
  need(std::isfinite(p.kappa) && p.kappa >= 0.0, "kappa", "at least 0", p.kappa);
  check_pieces(p.spreading, "spreading");
  check_pieces(p.path_duration, "path_duration");
  if (p.amp_frequency.size() != p.amp_factor.size())
    throw Error("point source: amp_frequency has " + std::to_string(p.amp_frequency.size()) +
                " entries but amp_factor " + std::to_string(p.amp_factor.size()));
  for (std::size_t i = 0; i < p.amp_frequency.size(); ++i) {
    need(positive(p.amp_frequency[i]) && (i == 0 || p.amp_frequency[i] > p.amp_frequency[i - 1]),
         "amp_frequency", "positive and increasing", p.amp_frequency[i]);
    need(positive(p.amp_factor[i]), "amp_factor", "positive", p.amp_factor[i]);
  }
}

double spreading(const PointSource& p, double R) {
  // G is continuous: each piece starts from the value the last one reached.
  double G = 1.0, start = p.reference_km;
  for (std::size_t i = 0; i < p.spreading.size(); ++i) {
    const double end = i + 1 < p.spreading.size() ? p.spreading[i + 1].from_km : R;
    if (R <= end || i + 1 == p.spreading.size())
      return G * std::pow(start / R, p.spreading[i].value);
    G *= std::pow(start / end, p.spreading[i].value);
    start = end;
  }
  return G;
}

double path_duration(const PointSource& p, double R) {
  double T = 0.0;
  for (std::size_t i = 0; i < p.path_duration.size(); ++i) {
    const double a = p.path_duration[i].from_km;
    const double b = i + 1 < p.path_duration.size() ? p.path_duration[i + 1].from_km : R;
    if (R <= a) break;
    T += p.path_duration[i].value * (std::fmin(R, b) - a);
  }
  return T;
}

double amplification(const PointSource& p, double f) {
  const auto& F = p.amp_frequency;
  const auto& A = p.amp_factor;
  if (F.empty()) return 1.0;
  if (f <= F.front()) return A.front();
  if (f >= F.back()) return A.back();
  std::size_t i = 1;
  while (F[i] < f) ++i;
  const double t = std::log(f / F[i - 1]) / std::log(F[i] / F[i - 1]);
  return A[i - 1] + t * (A[i] - A[i - 1]);
}

}  // namespace

double seismic_moment(double magnitude) { return std::pow(10.0, 1.5 * magnitude + 16.05); }

double corner_frequency(const PointSource& p) {
  check(p);
  return 4.906e6 * p.velocity * std::cbrt(p.stress_drop / seismic_moment(p.magnitude));
}

double source_duration(const PointSource& p) {
  const double T = 1.0 / corner_frequency(p) + path_duration(p, p.distance_km);
  if (!(T > 0.0)) throw Error("point source: path_duration gives a duration of " + num(T) + " s");
  return T;
}

double fas(const PointSource& p, double f) {
  const double fc = corner_frequency(p);  // checks p
  if (!(f > 0.0) || !std::isfinite(f))
    throw Error("point source: frequency must be positive, got " + num(f));
  const double R = p.distance_km;
  // M0 in dyne cm, density in g/cm^3, velocity in km/s and R0 in km: the
  // 1e-20 brings km^3 and km to cm, leaving displacement in cm s.
  const double C =
      p.radiation * p.free_surface * p.partition /
      (4.0 * PI_D * p.density * p.velocity * p.velocity * p.velocity * p.reference_km) * 1e-20;
  const double w = 2.0 * PI_D * f;
  const double source = C * seismic_moment(p.magnitude) / (1.0 + (f / fc) * (f / fc));
  const double cq = p.q_velocity > 0.0 ? p.q_velocity : p.velocity;
  const double Q = p.q0 * std::pow(f, p.eta);
  const double path = spreading(p, R) * std::exp(-PI_D * f * R / (Q * cq));
  const double site = amplification(p, f) * std::exp(-PI_D * p.kappa * f);
  return w * w * source * path * site / G_CM_S2;
}

Motion point_source(const PointSource& p, const Grid& g) {
  Motion m;
  m.frequency = grid_frequencies(g);
  m.duration = source_duration(p);
  m.amplitude.reserve(m.frequency.size());
  for (double f : m.frequency) m.amplitude.push_back(fas(p, f));
  return m;
}

PointSource with_region(PointSource p, Region region) {
  switch (region) {
    case Region::WesternNorthAmerica:
      p.velocity = 3.5;
      p.density = 2.8;
      p.spreading = {{0.0, 1.0}, {40.0, 0.5}};
      p.q0 = 180.0;
      p.eta = 0.45;
      p.q_velocity = 0.0;
      p.kappa = 0.04;
      p.amp_frequency = {0.01, 0.09, 0.16, 0.51, 0.84, 1.25, 2.26, 3.17, 6.05, 16.6, 61.2, 100.0};
      p.amp_factor = {1.0, 1.1, 1.18, 1.42, 1.58, 1.74, 2.06, 2.25, 2.58, 3.13, 4.0, 4.4};
      p.path_duration = {{0.0, 0.05}};
      return p;
    case Region::CentralEasternNorthAmerica:
      p.velocity = 3.6;
      p.density = 2.8;
      p.spreading = {{0.0, 1.0}, {70.0, 0.0}, {130.0, 0.5}};
      p.q0 = 680.0;
      p.eta = 0.36;
      p.q_velocity = 0.0;
      p.kappa = 0.006;
      p.amp_frequency = {0.01, 0.1, 0.2, 0.3,  0.5,  0.9,  1.25, 1.8,
                         3.0,  5.3, 8.0, 14.0, 30.0, 60.0, 100.0};
      p.amp_factor = {1.0,  1.02, 1.03, 1.05, 1.07, 1.09, 1.11, 1.12,
                      1.13, 1.14, 1.15, 1.15, 1.15, 1.15, 1.15};
      p.path_duration = {{0.0, 0.0}, {10.0, 0.16}, {70.0, -0.03}, {130.0, 0.04}};
      return p;
  }
  throw Error("point source: unknown region");
}

}  // namespace korvo::rvt
