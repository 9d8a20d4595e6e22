// One site run as korvo-site makes it: a column read from its profile, a
// record (scaled if asked), the response, the motions at depth, the surface
// and input spectra, and the result files and console lines that report them.
// Everything is computed before anything is written; nothing here writes.
#pragma once

#include <complex>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "column/column.h"
#include "column/fdeql.h"
#include "motion/record.h"
#include "motion/spectra.h"

namespace korvo::column {

struct SiteRequest {
  std::string profile_name, record_name;  // as the user named them, for the summary
  Column column;
  double fmax = 25.0;           // Hz, for dividing layers
  record::Accelerogram record;  // as read; `record.unit` is the unit of its values
  double target_pga = 0.0;      // > 0: scaled to this peak (record's unit)
  double scale = 1.0;           // else every sample times this factor
  int baseline = -1;            // >= 0: the record less its trend of this order (0 mean, 1 line)
  std::vector<double>
      band_pass_hz;  // f1 <= f2 <= f3 <= f4, Hz: the record's trapezoid; empty: none
  Options options;
  std::vector<double> depths;  // --at, in the profile's length unit
  double strain_limit = 1.0;   // %: effective strains beyond it are warned of
  // Equivalent-linear with properties per frequency (options.method Eql).
  bool frequency_dependent = false;
  Smoothing smoothing = Smoothing::KauselAssimaki;
};

struct DepthMotion {
  double depth = 0.0;  // profile's length unit
  std::vector<double> a;
};

struct SiteRun {
  std::vector<Sublayer> subs;
  Motion motion;     // as analysed: scaled, in the record's unit
  double pga = 0.0;  // of the record as read
  double scale = 1.0;
  Result result;
  std::vector<double> surface;
  std::vector<DepthMotion> at;  // sorted by depth, each once
  SmallStrain small;            // Vs30, quarter-wavelength f0, kappa0
  double first_peak = 0.0;      // Hz, of |transfer|: its first local maximum
  std::vector<std::complex<double>> transfer;
  double df = 0.0;  // Hz
  long nfft = 0;
  std::vector<Real> periods;
  spectra::Spectrum input, output;  // 5 % damped, of the input and the surface motion
  // In its final state, for motions and strains at other depths; null for a
  // frequency-dependent run, whose state is `fd`.
  std::shared_ptr<const Analysis> analysis;
  std::shared_ptr<const FdResult> fd;
};

// The record as every method analyses it: its baseline removed and its band
// passed when asked, then scaled; pga is the prepared record's peak before
// scaling. Throws for a record that is not finite or has nothing left.
struct PreparedRecord {
  Motion motion;
  double pga = 0.0, scale = 1.0;
};
PreparedRecord prepare_record(const SiteRequest& request);

// Throws korvo::Error for a column or record that cannot be analysed, or a
// result that is not finite.
SiteRun run_site(const SiteRequest& request);

// The result files, name and text, in the order they are written.
std::vector<std::pair<std::string, std::string>> site_files(const SiteRequest& request,
                                                            const SiteRun& run);
// The console's summary lines, naming the folder the files went to.
std::string site_summary(const SiteRequest& request, const SiteRun& run, const std::string& folder);
// Input that runs but is likely a mistake (a unit weight in pcf read as
// kN/m^3, strains written as decimals, damping as fractions, a half-space
// softer than the soil above): one line each, without the program's name.
std::vector<std::string> column_warnings(const Column& column);
// Those, and what the run shows: a record whose unit nobody stated with a peak
// above 2 g, strains beyond a curve table or beyond request.strain_limit, the
// surface still ringing at the end of the transform, no convergence.
std::vector<std::string> site_warnings(const SiteRequest& request, const SiteRun& run);

// The 5 % damped spectrum every method writes for a motion: oversampled as
// korvo-spectra does by default, in single precision. With `beside`, half
// the periods go to a second core where there is one (the same bits).
spectra::Spectrum spectrum_of(const std::vector<double>& a, double dt,
                              const std::vector<Real>& periods, bool beside = true);
// Whether every value of a history, or of a spectrum, is finite.
bool finite(const std::vector<double>& a);
bool finite(const spectra::Spectrum& s);

// The file of the motion at a depth (profile's length unit): depth_5.csv.
std::string depth_file(double depth);
// What every figure of a run is titled with: the record's file name (and its
// scaling), the profile's and the method.
std::string plot_title(const SiteRequest& request, const SiteRun& run);
// The gnuplot script of korvo-site --plot: profile.png, spectra.png and, with
// depths asked for, motions.png in `dir`, drawn from the files site_files
// wrote there, so that a figure shows exactly what the files hold.
std::string plot_script(const SiteRequest& request, const SiteRun& run, const std::string& dir);
// The figures that script draws, by name.
std::vector<std::string> plot_figures(const SiteRun& run);

// For every site method's figures: gnuplot's terminal up to the size (plain
// text everywhere: a record named RSN_15 keeps its underscore); a number as
// %.6g; a gnuplot double-quoted string, where a line break is "\n" and a
// backslash or quote is escaped so that a file name stays text; a path's file
// name on one line.
inline constexpr const char* PLOT_TERMINAL = "set terminal pngcairo noenhanced font ',11' size ";
std::string plot_number(double v);
std::string plot_quoted(const std::string& s);
std::string plot_file_name(const std::string& path);
// The script's part for spectra.png in dir (input and surface spectra from
// spectra.csv, and their ratio) and, with depths, motions.png (the surface
// and the motion at each depth, in length_unit, on one time axis and one
// acceleration scale), titled with title, accelerations in unit.
std::string plot_spectra_and_motions(const std::string& dir, const std::string& title,
                                     const std::string& unit, const std::vector<double>& depths,
                                     const std::string& length_unit);

}  // namespace korvo::column
