// Site response of a layered soil column over a damped elastic half-space:
// vertically incident SH waves, frequency domain, double precision
// throughout. Linear (the small-strain properties) or equivalent-linear: the
// shear modulus and damping of every sublayer iterated until they agree with
// the effective strain that the motion induces in it.
//
// Everything here works in SI units (m, s, kN/m^3, kPa); the profile reader
// converts the file's units once. Faults are reported as korvo::Error with a
// one-line text; nothing here ends the process.
#pragma once

#include <complex>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "korvo.h"
#include "motion/record.h"

namespace korvo::column {

using record::GRAVITY;                         // m/s^2, standard
constexpr double WATER_UNIT_WEIGHT = 9.80665;  // kN/m^3
constexpr double ATMOSPHERE = 101.325;         // kPa
constexpr double PI_D = 3.14159265358979323846;

// One tabulated curve: values against strain (%), strictly increasing strain.
struct Curve {
  std::vector<double> strain_pct;
  std::vector<double> value;
};

// G/Gmax and damping (a fraction, not %) against strain, defined once and
// shared by layers that name it.
struct CurveSet {
  std::string name;
  Curve modulus, damping;
};

enum class Model { Darendeli, Table, Linear };

// Darendeli (2001) inputs; stress-dependent terms are formed per sublayer.
struct DarendeliInput {
  double pi = 0.0;         // plasticity index, %
  double ocr = 1.0;        // over-consolidation ratio
  double k0 = 0.5;         // at-rest earth pressure coefficient
  double frequency = 1.0;  // loading frequency, Hz
  double cycles = 10.0;    // number of loading cycles
  double dmin = -1.0;      // small-strain damping (fraction); < 0: from the model
};

struct Layer {
  std::string name;
  int line = 0;              // where the layer starts in the profile file
  double thickness = 0.0;    // m
  double unit_weight = 0.0;  // kN/m^3
  double vs = 0.0;           // small-strain shear-wave velocity, m/s
  Model model = Model::Linear;
  int curves = -1;  // index into Column::curves for Model::Table
  DarendeliInput darendeli;
  double damping = 0.0;  // Model::Linear, fraction
  int sublayers = 0;     // 0: chosen from fmax
  // Nonlinear analysis only: the GQ/H backbone instead of MKZ, with its
  // shear strength given (kPa, 'strength' or 'su') or from a friction angle
  // (degrees) on the effective vertical stress; theta1..theta5 when given.
  bool gqh = false;
  double strength = 0.0, friction_angle = 0.0;
  std::vector<double> gqh_theta = {};
};

struct HalfSpace {
  double unit_weight = 0.0, vs = 0.0, damping = 0.0;  // kN/m^3, m/s, fraction
};

struct Column {
  std::string source;             // the file it was read from, for reports
  std::string length_unit = "m";  // the file's units, for reports
  double length_factor = 1.0;     // metres per file unit of length
  std::string weight_unit = "kN/m^3";
  double weight_factor = 1.0;  // kN/m^3 per file unit of unit weight
  double water_table = 0.0;    // m below the surface
  std::vector<CurveSet> curves;
  std::vector<Layer> layers;
  HalfSpace halfspace;
  // What reading a soil file assumed (its units, damping from Q), for the
  // console; empty for a TOML profile.
  std::string converted;
  std::vector<std::string> notes;  // likely mistakes the reader saw, warned of with the rest
};

// TOML text; `name` labels the error reports, which name the layer and key.
Column read_column(std::string_view text, std::string_view name);

// Whether a profile's text is the console program's fixed-column soil file
// (it opens with the incidence angle alone on its line) rather than TOML.
bool is_soil_file(std::string_view text);
// The console program's soil file at `path` as a column of linear layers:
// damping 1 / (2 QS), lengths in `length_unit` ("m" or "ft"; the file does not
// say which), RHO a density in t/m^3 (m) or a unit weight in kcf (ft). VP and
// QP have no part in vertically incident shear waves. The numbers are korvo's
// (read in single precision, as the console program reads them). A file whose damping
// depends on frequency (QEXP != 0) or whose waves are not vertical is refused.
Column read_soil_column(const std::string& path, std::string_view length_unit);
// Either layout, told by is_soil_file. A soil file without a length unit is
// refused with a message that names `unit_option`, the caller's way to give it.
Column read_profile(std::string_view text, const std::string& path, std::string_view length_unit,
                    std::string_view unit_option);

struct Props {
  double g_ratio = 1.0;  // G/Gmax
  double damping = 0.0;  // fraction of critical
};

// The strain-dependent behaviour of one sublayer.
struct Soil {
  Model model = Model::Linear;
  const CurveSet* set = nullptr;                       // Model::Table
  double gamma_r = 0.0, a = 1.0, b = 1.0, dmin = 0.0;  // Darendeli: %, -, -, fraction
  double damping = 0.0;                                // Model::Linear
};

// At an effective strain in %: tables interpolate linearly in log-strain and
// hold their end values beyond the table.
Props soil_props(const Soil& soil, double strain_pct);
// G = Gmax and the small-strain damping: where the iteration starts.
Props small_strain_props(const Soil& soil);

struct Sublayer {
  int layer = 0;                                 // index into Column::layers
  double top = 0.0, thickness = 0.0, mid = 0.0;  // m
  double rho = 0.0;                              // t/m^3, so that rho * vs^2 is in kPa
  double vs0 = 0.0;                              // m/s
  double sigma_m = 0.0;                          // mean effective stress at mid-depth, kPa
  Soil soil;
  // The layer's GQ/H choice, its shear strength at mid-depth (kPa) and theta.
  bool gqh = false;
  double tau_max = 0.0;
  std::vector<double> gqh_theta = {};
};

// What a column is at small strains, in SI units: the time-averaged
// shear-wave velocity of the top 30 m (the half-space below a shallower
// column), the fundamental frequency by the quarter-wavelength rule
// 1 / (4 sum h/Vs) over the soil, and kappa0 = sum 2 xi h / Vs over the soil.
struct SmallStrain {
  double vs30 = 0.0;    // m/s
  double f0 = 0.0;      // Hz
  double kappa0 = 0.0;  // s
};
SmallStrain small_strain(const std::vector<Sublayer>& subs, const HalfSpace& halfspace);

// Divides each layer so that no sublayer is thicker than a fifth of the
// small-strain wavelength at fmax (Hz), unless the layer fixes its count.
// Faults (a Darendeli layer without effective stress) name the layer. The
// sublayers of tabulated layers point into the profile, which must outlive them.
std::vector<Sublayer> divide(const Column& profile, double fmax);

// Vertical effective stress (kPa) at depth z (m): the unit weights above less
// the hydrostatic pore pressure below the water table.
double vertical_effective_stress(const Column& profile, double z);

enum class ComplexModulus {
  Velocity,     // V* = V (1 + i xi), korvo's linear model
  Simple,       // G* = G (1 + 2 i xi)
  UnitModulus,  // G* = G (1 - 2 xi^2 + 2 i xi sqrt(1 - xi^2)), |G*| = G
};
// A motion at a depth: twice its up-going wave, or the total motion there.
enum class InputKind { Outcrop, Within };
constexpr double INTERFACE_SNAP = 1e-9;  // relative to the column's depth
// Linear: the small-strain properties, no iteration.
enum class Method { Linear, Eql };

// The longest transform the engine takes: its work arrays hold some 160
// bytes a frequency bin, about 350 MB at this length.
constexpr long TRANSFORM_MAX = 1L << 22;

struct Options {
  Method method = Method::Eql;
  double strain_ratio = 0.65;  // effective over peak strain
  double tol = 1e-3;           // relative distance of G and damping to the fixed point
  int max_iter = 100;
  bool accelerate = true;  // Anderson mixing on the log effective strains
  ComplexModulus modulus = ComplexModulus::Velocity;
  InputKind input = InputKind::Outcrop;
  double pad = 10.0;  // s of quiet after the record; the transform length is then
                      // rounded up to 2^a, 5 2^a or 25 2^a samples
  long nfft = 0;      // > 0: the transform length itself (at least the record's), not pad
};

// The transform length the options give for n samples at dt (s); throws
// when it would pass TRANSFORM_MAX or is shorter than the record.
long transform_length(long n, double dt, const Options& options);

struct Motion {
  std::vector<double> a;  // accelerations in the record's unit
  double dt = 0.0;        // s
  double to_si = 1.0;     // m/s^2 per unit of a
};

struct IterationRow {
  int iteration = 0;
  double change_g = 0.0, change_d = 0.0;  // largest relative change, G and damping
  int at_g = -1, at_d = -1;               // 0-based sublayer of each
  double contraction = -1.0;              // estimated contraction rate (< 0 unknown)
  double distance = -1.0;                 // estimated distance to the fixed point (< 0 unknown)
};

struct Result {
  std::vector<Props> props;         // per sublayer, used by the final response
  std::vector<double> strain_eff;   // %, per sublayer
  std::vector<double> strain_peak;  // %
  std::vector<double> stress_peak;  // kPa
  std::vector<double> pga_top;      // record unit; one more entry: the half-space's top
  std::vector<IterationRow> rows;
  bool converged = false;
  int iterations = 0;
  double seconds = 0.0;  // spent iterating (responses and updates), wall clock
  // Largest surface acceleration over the last 2 % of the transform, over the
  // peak: what wraps round onto the start of the record.
  double ringing = 0.0;
};

class Analysis {
 public:
  // Plans the transforms once; they are reused by every iteration.
  Analysis(std::vector<Sublayer> sublayers, const HalfSpace& halfspace, const Motion& motion,
           const Options& options);
  ~Analysis();
  Analysis(const Analysis&) = delete;
  Analysis& operator=(const Analysis&) = delete;

  // Iterates to the stopping rule or max_iter, then keeps the final state
  // for the queries below.
  const Result& run();
  // One response with the given properties (no iteration): strain peaks in %.
  // The queries below still answer for the state run() found.
  std::vector<double> peak_strains(const std::vector<Props>& props);

  // After run(): histories of the record's length at a depth (m) within the
  // column or the half-space: total acceleration (record unit), shear strain
  // (%), and the surface.
  std::vector<double> acceleration_at(double depth) const;
  std::vector<double> strain_at(double depth) const;
  std::vector<double> surface() const { return acceleration_at(0.0); }
  // After run(): shear stress (kPa) at a depth (m), G* = rho V*^2 of the
  // sublayer (or half-space) there times the strain; 0 at the surface. The
  // static term is left out, as in the strain.
  std::vector<double> stress_at(double depth) const;
  // After run(), on the transform's frequency grid: the motion at depth `to`
  // over the motion at depth `from` (m). Each is Within, the total motion at
  // that depth, or Outcrop, twice its up-going wave: at an interface the
  // wave of the material below, so that Outcrop at the half-space's top is
  // the outcrop input. A depth within INTERFACE_SNAP of the column's depth of
  // an interface counts as on it (the sublayers' tops are sums of
  // thicknesses, a few ulps off the depths a user gives). NaN where the
  // ratio is no finite number: a motion beyond the range of doubles (soft,
  // damped columns at high frequency), or a nil one divided by.
  std::vector<std::complex<double>> transfer_between(double from, InputKind from_kind, double to,
                                                     InputKind to_kind) const;
  double halfspace_top() const;  // m
  // Surface over input motion on the transform's frequency grid.
  std::vector<std::complex<double>> transfer() const;
  double frequency_step() const;  // Hz
  int transform_length() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// CSV `time_s,accel_<unit>` from t = 0, times with the fewest decimals that hold dt.
std::string format_history(const std::vector<double>& a, double dt, const std::string& unit);

// The result files, CSV with one header row whose names carry the units.
// Lengths and unit weights in the profile's units, strains in %, stresses in
// kPa, accelerations in `unit` (the record's).
std::string format_profile(const Column& profile, const std::vector<Sublayer>& subs,
                           const Result& result, const std::string& unit);
std::string format_iterations(const Result& result);
std::string format_transfer(const std::vector<std::complex<double>>& h, double df);
std::string format_spectra(const std::vector<float>& periods, const std::vector<float>& input,
                           const std::vector<float>& surface, const std::string& unit);

struct Outcome {
  std::vector<Props> props;  // used by the last response
  std::vector<IterationRow> rows;
  bool converged = false;
};
// Peak shear strain (%) of every sublayer for the given properties.
using StrainResponse = std::function<std::vector<double>(const std::vector<Props>&)>;
// The iteration itself, over any response: it starts from the small-strain
// properties and stops when the estimated distance to the fixed point is
// within half of opt.tol, or after opt.max_iter responses.
Outcome iterate(const std::vector<Soil>& soils, const Options& opt, const StrainResponse& response);

// Darendeli (2001) at strain gamma (%), reference strain gamma_r (%), curvature a,
// scaling b, small-strain damping dmin (fraction).
Props darendeli(double gamma, double gamma_r, double a, double b, double dmin);
// Linear in log-strain between table points, held at the ends.
double interpolate(const Curve& curve, double strain_pct);
// Shortest text that reads back as the same double.
std::string shortest(double x);

}  // namespace korvo::column
