// Nonlinear time-domain response of a layered soil column: a lumped-mass
// shear beam under vertically incident SH waves, total stress, hysteretic
// soil integrated step by step. Double precision throughout.
//
// SI units as in the column library (m, s, t/m^3, kPa); strains are given in
// % wherever they cross this interface. Faults are korvo::Error with a
// one-line text; nothing here ends the process.
#pragma once

#include <cstddef>
#include <vector>

#include "column/column.h"

namespace korvo::nonlinear {

enum class Model {
  Mkz,  // tau = Gmax g / (1 + beta (|g| / gamma_r)^s)
  // tau = tau_max 2x / (1 + x + sqrt((1 + x)^2 - 4 theta x)), x = |g| Gmax / tau_max,
  // theta = theta1 + theta2 x^theta5 / (theta3^theta5 / theta4 + x^theta5):
  // Gmax at small strain, tau_max as the strain grows without bound.
  Gqh,
};

// One element of the shear beam; its mass is split equally to its two nodes.
struct Element {
  int layer = 0;                      // index into the profile's layers
  double top = 0.0, thickness = 0.0;  // m
  double rho = 0.0;                   // t/m^3
  double gmax = 0.0;                  // kPa
  double xi = 0.0;                    // small-strain damping, fraction of critical
  // MKZ backbone tau = gmax g / (1 + beta (|g| / gamma_r)^s); linear when false.
  bool hysteretic = false;
  double gamma_r = 0.0;  // %
  double s = 1.0, beta = 1.0;
  double fit_error = 0.0;  // rms misfit of G/Gmax where the backbone was fitted
  Model model = Model::Mkz;
  double tau_max = 0.0;                         // kPa (Gqh)
  double theta[5] = {1.0, 0.0, 1.0, 1.0, 1.0};  // theta1..theta5 (Gqh)
  // Non-Masing unloading: the loops' damping is F(gm) times Masing's,
  // F = p1 - p2 (1 - G(gm)/Gmax)^p3 at the largest strain gm so far.
  double p1 = 1.0, p2 = 0.0, p3 = 1.0;
  double damping_fit_error = 0.0;  // rms misfit of the damping curve, % (of critical)
};

// The elements of the sublayers, each sublayer cut into equal parts no
// thicker than max_thickness (m; 0 keeps the sublayers). Darendeli sublayers
// take gamma_r and the curvature directly (beta = 1); tabulated ones are
// fitted (fit_mkz); linear ones stay linear. A GQ/H sublayer takes its
// theta or fits them (fit_gqh) to its G/Gmax curve up to 0.1 %. With
// fit_damping, every hysteretic element gets p1..p3 fitted to its damping
// curve (fit_mrdf), which only MRDF unloading reads; without, they stay
// Masing's (1, 0, 1).
std::vector<Element> mesh(const std::vector<column::Sublayer>& sublayers, double max_thickness,
                          bool fit_damping = true);

struct Fit {
  double gamma_r = 0.0;  // %
  double s = 1.0;
  double error = 0.0;  // rms of G/Gmax over the table's points
};
// gamma_r and s (beta = 1) that fit 1 / (1 + (g / gamma_r)^s) to a G/Gmax
// table in least squares, the points spaced as the table gives them in log
// strain. Throws when the table never falls below 1 or never reaches 0.5 of
// its trend (nothing to fit).
Fit fit_mkz(const column::Curve& modulus);

enum class Base {
  Elastic,  // a dashpot rho Vs of the half-space; the record is the outcrop motion
  Rigid,    // the record is the motion at the base of the column (within)
};

enum class Unloading {
  Masing,  // extended Masing rules
  // The Masing branch's departure from the secant of the largest loop
  // scaled by F(gm) (Phillips and Hashash 2009): the loops close as
  // Masing's do, with F times their area.
  Mrdf,
};

// The viscous damping that stands for the soil's damping at small strains.
enum class Viscous {
  Rayleigh,  // element by element, exact at Options::f1 and f2
  // Every mode of the small-strain column (its masses and Gmax stiffnesses,
  // the base's node free on an elastic base, held on a rigid one) damped at
  // its own fraction xi_n, whatever its frequency: C = M Phi diag(2 xi_n w_n)
  // Phi^T M with Phi the mass-normalised modes, the superposition of modal
  // damping matrices of Wilson and Penzien (1972), the frequency-independent
  // form Phillips and Hashash (2009) brought to site response. xi_n is the
  // elements' xi weighted by the mode's strain energy in each (their one xi
  // where they share it). The matrix is full: each step costs N^2 more, and
  // at most FI_NODES_MAX nodes take it.
  FrequencyIndependent,
};
constexpr std::size_t FI_NODES_MAX = 1001;

struct Options {
  int substeps = 20;  // time steps per record sample; the input is linear between samples
  Viscous viscous = Viscous::Rayleigh;
  // Rayleigh damping of every element, exact at f1 and f2 (Hz): 0 takes the
  // column's fundamental frequency Vs_avg / 4H (Vs_avg the travel-time mean)
  // and 5 f1.
  double f1 = 0.0, f2 = 0.0;
  double xi = -1.0;  // fraction for every element; < 0 each element's own (either damping)
  Unloading unloading = Unloading::Masing;
  Base base = Base::Elastic;
  // Newton stops when no nodal residual force (kPa on the unit area) passes
  // tol times the larger of the largest element stress and the largest
  // nodal inertia force of the input (mass times input acceleration) so far.
  double tol = 1e-6;
  int max_iter = 30;
  bool strict = false;  // a step that does not converge throws instead of being counted
  // Groups of four MKZ elements take their common trials and commits in
  // vectors where the processor has AVX2; false keeps the general code for
  // every element, which gives the same bits.
  bool vectors = true;
  std::vector<double> depths;  // m, extra motion histories
  // m, depths at which only the largest |total acceleration| is kept
  // (Result::peak_at), read as the histories at `depths` are.
  std::vector<double> peak_depths;
  std::vector<int> loop_elements;  // 0-based elements whose stress-strain histories are kept
};

struct Loop {
  std::vector<double> strain, stress;  // %, kPa, one per record sample
};

// Work on the unit area (kJ/m^2) from the start to the end of the record,
// in the frame that moves with the input (the record as given: outcrop on
// an elastic base, within on a rigid one). Each step adds the trapezoid of
// its forces along its displacement increments, the form in which the
// average acceleration rule balances exactly, so that
// input = kinetic + strain + hysteretic + viscous + radiation to what the
// Newton tolerance leaves.
struct Energy {
  double input = 0.0;       // of the inertia forces -m a_g
  double kinetic = 0.0;     // 1/2 m v^2 of the relative velocities, at the end
  double strain = 0.0;      // h tau^2 / (2 Gmax) of every element, at the end: recoverable
  double hysteretic = 0.0;  // the elements' work less that strain energy
  double viscous = 0.0;     // in the Rayleigh damping
  double radiation = 0.0;   // in the base's dashpot (0 on a rigid base)
};

// Motions are total, at every record sample, in the record's unit u:
// acceleration u, velocity u*s, displacement u*s^2 (a record in g gives
// g*s; times 9.80665 for m/s). Velocities and displacements are those of the
// Newmark integration, the input's own by the same rule, so they start at
// rest and carry any drift of the record.
struct Result {
  double f1 = 0.0, f2 = 0.0;  // Hz, the Rayleigh frequencies used (0 under FrequencyIndependent)
  std::vector<double> surface, surface_velocity, surface_displacement;
  std::vector<std::vector<double>> at, at_velocity, at_displacement;  // per Options::depths
  std::vector<double> peak_at;                                        // u, per Options::peak_depths
  // Per node, node 0 the surface and the last the base of the column:
  // displacement relative to that base (u*s^2), largest |.| over the run
  // (every step) and the value at the end.
  std::vector<double> node_depth;  // m
  std::vector<double> displacement_peak, displacement_residual;
  // Per element.
  std::vector<double> strain_peak;      // %
  std::vector<double> stress_peak;      // kPa
  std::vector<double> secant_ratio;     // G_secant / Gmax on the backbone at the peak strain
  std::vector<double> damping_at_peak;  // fraction: the loops' own damping at the peak strain
  std::vector<Loop> loops;              // per Options::loop_elements
  Energy energy;
  long steps = 0;
  long iterations = 0;              // Newton solves, all steps
  long unconverged = 0;             // steps left at max_iter
  double first_unconverged = -1.0;  // s, time of the first such step
};

// Response of the elements over the half-space to the record.
Result run(const std::vector<Element>& elements, const column::HalfSpace& halfspace,
           const column::Motion& motion, const Options& options);

// Backbone stress (kPa) and tangent modulus at strain g (a fraction).
void backbone(const Element& e, double g, double& tau, double& tangent);

struct GqhFit {
  double theta[5] = {1.0, 0.0, 1.0, 1.0, 1.0};
  double error = 0.0;  // rms of G/Gmax over the points fitted
};
// theta1..theta5 (theta4 = 1: only theta3^theta5 / theta4 counts) for the
// strength tau_max (kPa) and Gmax that fit G/Gmax at the strains (%) given,
// in least squares (Levenberg-Marquardt from a few starts), keeping
// theta1 <= 1 and theta1 + theta2 < 1. Throws without a point to fit.
GqhFit fit_gqh(double gmax, double tau_max, const std::vector<double>& strain_pct,
               const std::vector<double>& modulus);

// Damping (fraction) of the Masing loop of amplitude g (a fraction, > 0)
// from the backbone's integral: (2/pi) (2 int_0^g tau / (tau(g) g) - 1).
// 0 for a linear element.
double masing_damping(const Element& e, double g);

// The damping reduction factor F at largest strain gm (a fraction).
double mrdf_factor(const Element& e, double gm);

struct MrdfFit {
  double p1 = 1.0, p2 = 0.0, p3 = 1.0;
  double error = 0.0;  // rms of the damping misfit, %
};
// p1..p3 that fit F(g) masing_damping(e, g) to the damping (fractions) at
// the strains (%) in least squares: linear in p1, p2 for each p3, p3 by a
// scan and golden sections over [0.05, 20] in log. F is kept at 0 or more
// for every strain (p1 >= 0, p1 - p2 >= 0). Throws when no strain is above 0.
MrdfFit fit_mrdf(const Element& e, const std::vector<double>& strain_pct,
                 const std::vector<double>& damping);

// Extended Masing hysteresis with the reversal points it remembers: each
// branch from a reversal is the backbone scaled by two; a branch that
// reaches the reversal before its own start closes that inner loop and the
// motion continues on the branch outside it; passing the largest strain so
// far joins the backbone again.
struct Hysteresis {
  std::vector<double> g, tau;  // reversal points, oldest first
  double g_now = 0.0, tau_now = 0.0, tangent = 0.0;
  int direction = 0;  // sign of the last committed strain change
  bool mrdf = false;
  double f = 1.0, secant = 0.0;  // F and tau/g at the first remembered reversal (mrdf)
};
void start(const Element& e, Hysteresis& h, Unloading unloading = Unloading::Masing);
// Stress and tangent at strain g from the committed state, which is left untouched.
void trial(const Element& e, const Hysteresis& h, double g, double& tau, double& tangent);
// Makes strain g the committed state; the second form takes the stress and
// tangent that trial() gave at g.
void commit(const Element& e, Hysteresis& h, double g);
void commit(const Element& e, Hysteresis& h, double g, double tau, double tangent);

}  // namespace korvo::nonlinear
