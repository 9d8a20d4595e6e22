// Random-vibration-theory motions: a Fourier amplitude spectrum (FAS) of
// ground acceleration with a duration stands for every record that could
// have it, and peaks come from the spectral moments and a peak factor.
//
// Everything is in double. Acceleration FAS are in g s (|X(f)| dt of a record
// in g), durations in s, frequencies in Hz; PSA and PGA come out in g, PGV in
// cm/s. A site engine takes a Motion (a FAS on any increasing frequencies and
// its duration) whatever made it: the point-source model or a table.
#pragma once

#include <string>
#include <vector>

namespace korvo::rvt {

// A piece of a piecewise law in hypocentral distance: from `from_km` on
// (the first piece from 0), the law takes `value`.
struct Piece {
  double from_km = 0.0;
  double value = 0.0;
};

// A point source after the stochastic method: Brune omega-squared source,
// geometric spreading, anelastic attenuation, crustal amplification, kappa.
// Defaults are the model's constants and a plain starting point, not a region.
struct PointSource {
  double magnitude = 6.0;                 // moment magnitude M
  double distance_km = 20.0;              // hypocentral distance R, > 0
  double stress_drop = 100.0;             // bar, > 0
  double velocity = 3.5;                  // shear-wave velocity at the source, km/s
  double density = 2.8;                   // at the source, g/cm^3
  double radiation = 0.55;                // average S-wave radiation pattern
  double free_surface = 2.0;              // free-surface amplification
  double partition = 0.7071067811865476;  // into two horizontal components, 1/sqrt(2)
  double reference_km = 1.0;              // R0 of the spreading law
  // Geometric spreading: pieces of exponent b, G = (R0/R)^b1 up to the first
  // hinge, then G(hinge) (hinge/R)^b2 up to the next, and so on; continuous.
  std::vector<Piece> spreading = {{0.0, 1.0}};
  double q0 = 180.0;  // Q(f) = q0 f^eta, > 0
  double eta = 0.45;
  double q_velocity = 0.0;  // km/s in the attenuation exp(-pi f R / (Q c)); 0: `velocity`
  double kappa = 0.04;      // s, exp(-pi kappa f)
  // Crustal amplification (frequency Hz, factor), linear in ln f between
  // entries, the end factors beyond them; empty means 1 everywhere.
  std::vector<double> amp_frequency{}, amp_factor{};
  // Path duration: pieces of slope (s/km), continuous in R, from 0 s at R = 0.
  std::vector<Piece> path_duration = {{0.0, 0.05}};
};

// Named crust, path and site parameters of a region: velocity, density,
// spreading, Q(f), kappa, crustal amplification and path duration as in
// Campbell (2003) (values and where they were read: docs/rvt.md). Magnitude,
// distance, stress drop and the source constants are left as in `p`.
enum class Region { WesternNorthAmerica, CentralEasternNorthAmerica };
PointSource with_region(PointSource p, Region region);

// M0 = 10^(1.5 M + 16.05) dyne cm (Hanks & Kanamori 1979, as Boore 2003 writes it).
double seismic_moment(double magnitude);
// fc = 4.906e6 beta (stress / M0)^(1/3), Hz (beta km/s, bar, dyne cm).
double corner_frequency(const PointSource& p);
// 1 / fc + the path duration at R, s.
double source_duration(const PointSource& p);
// The acceleration FAS at f > 0 Hz, g s.
double fas(const PointSource& p, double f);

// A spectrum and its ground-motion duration. Frequencies strictly
// increasing and > 0; amplitudes >= 0 and finite. Outside the listed
// frequencies the spectrum is 0; between them it is linear in log-log (a
// zero amplitude: linear in ln f).
struct Motion {
  std::vector<double> frequency;  // Hz
  std::vector<double> amplitude;  // g s
  double duration = 0.0;          // s, > 0
};
// Checks the table; throws korvo::Error naming the bad argument.
Motion table_motion(std::vector<double> frequency, std::vector<double> amplitude, double duration);

// The quadrature grid: f_min to f_max evenly in ln f, `per_decade` points a
// decade (both ends included). Moments are the trapezoid rule in ln f on it:
// integral g(f) df = integral g(f) f d(ln f).
struct Grid {
  double f_min = 0.01;  // Hz
  double f_max = 100.0;
  int per_decade = 200;
};
std::vector<double> grid_frequencies(const Grid& g);

// The point source's FAS on the grid, duration 1/fc + path duration.
Motion point_source(const PointSource& p, const Grid& g = {});

// m_k = 2 integral_0^inf (2 pi f)^k |Y(f)|^2 df (so that m0 is the integral of
// y^2 over time, Parseval), in (g)^2 s^(1-k) for acceleration.
struct Moments {
  double m0 = 0.0, m1 = 0.0, m2 = 0.0, m4 = 0.0;
};

// The motion resampled on the grid, with the quadrature weights folded in:
// made once per motion, then any number of oscillators.
struct Prepared {
  std::vector<double> omega;   // 2 pi f, rad/s
  std::vector<double> energy;  // |A(f)|^2 times the trapezoid weight in ln f times f, times 2
  double duration = 0.0;
};
Prepared prepare(const Motion& m, const Grid& g = {});

// Moments of the ground acceleration (period 0) or of an oscillator's
// pseudo-acceleration, |H|^2 = fn^4 / ((fn^2 - f^2)^2 + (2 zeta f fn)^2).
Moments moments(const Prepared& p, double period = 0.0, double damping = 0.05);

enum class PeakFactor {
  CartwrightLonguetHiggins1956,  // mean of the largest of N extrema, by their bandwidth
  Vanmarcke1975,                 // first passage with clumped crossings, delta^1.2
  Davenport1964,                 // sqrt(2 ln Nz) + 0.5772 / sqrt(2 ln Nz)
  DerKiureghian1985,             // Davenport over crossings thinned by the bandwidth
  ToroMcGuire1987,               // Davenport over thinned crossings, oscillator build-up
  BooreThompson2012,             // CLH, oscillator rms duration from c1..c7
  BooreThompson2015,             // Vanmarcke, oscillator rms duration from c1..c7
};
const char* peak_factor_name(PeakFactor f);
// The factor a file or a caller names by its keyword (clh, vanmarcke,
// davenport, der_kiureghian, toro_mcguire, bt12, bt15); false for any other.
bool peak_factor_from_keyword(const std::string& word, PeakFactor& f);
// Those keywords, comma-separated, for a refusal's text.
const char* peak_factor_keywords();

// The expected largest |y| over yrms of a stationary Gaussian process with
// these moments lasting `duration` s (the duration that counts the zero
// crossings Nz = sqrt(m2/m0) T / pi and extrema Ne = sqrt(m4/m2) T / pi).
// The Boore & Thompson forms are here their base factors (CLH, Vanmarcke);
// Toro & McGuire's oscillator factor is applied by `psa`.
double peak_factor(PeakFactor f, const Moments& m, double duration);

struct Method {
  PeakFactor peak = PeakFactor::CartwrightLonguetHiggins1956;
  // Boore & Joyner (1984): an oscillator rings on after the ground motion,
  // so its rms is taken over Trms = Tgm + To g^3 / (g^3 + 1/3), To = Tn / (2 pi
  // zeta), g = Tgm / Tn; crossings are still counted over Tgm. Off: Tgm.
  // The Boore & Thompson forms ignore it: they have their own Trms.
  bool oscillator_duration = true;
  // c1..c7 of the Boore & Thompson forms, for the scenario at hand (their
  // tables give them by magnitude and distance); required by those forms:
  // Trms / Tgm = (c1 + c2 (1 - e^c3) / (1 + e^c3)) (1 + c4 / (2 pi zeta)
  // (e / (1 + c5 e^c6))^c7), e = Tn / Tgm.
  std::vector<double> bt_coefficients{};
};

// PSA at each period (s, > 0) for damping (fraction of critical, 0 < zeta < 1), g.
std::vector<double> psa(const Prepared& p, const std::vector<double>& periods, double damping,
                        Method method = {});
double pga(const Prepared& p, Method method = {});  // g
double pgv(const Prepared& p, Method method = {});  // cm/s

// Inverse RVT: a FAS whose PSA matches a target response spectrum.
struct Target {
  std::vector<double> periods;  // s, > 0, distinct (any order)
  std::vector<double> psa;      // g, > 0, one per period
  double damping = 0.05;        // fraction of critical
  double duration = 0.0;        // s, the ground-motion duration Tgm, > 0
};
struct CompatibleOptions {
  Method method;
  Grid grid;
  double tolerance = 0.01;  // largest |PSA / target - 1| accepted
  int max_iter = 50;        // PSA evaluations at most
};
struct Compatible {
  Motion motion;               // on the grid, duration Tgm
  std::vector<double> psa;     // g, back-computed at the target's periods (its order)
  std::vector<double> misfit;  // psa / target - 1
  int iterations = 0;          // PSA evaluations made
  bool converged = false;      // every |misfit| <= tolerance
};
// The FAS is kept at the target's oscillator frequencies fn = 1/Tn and
// interpolated linearly in log-log between them; below the lowest fn it
// falls as f^2 (an omega-squared source below its corner), above the highest
// as 1/f^2. Start: A(fn) = PSA / pf sqrt(2 zeta Trms / (pi fn)), the
// resonance-only estimate; then each A(fn) is multiplied by target /
// computed until every period is within the tolerance or max_iter is spent
// (then `converged` is false and `misfit` says where). Refuses bad targets
// with korvo::Error naming the argument; never returns silently unconverged.
Compatible compatible_motion(const Target& target, const CompatibleOptions& options = {});

}  // namespace korvo::rvt
