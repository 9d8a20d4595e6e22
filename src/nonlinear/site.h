// One nonlinear site run as korvo-site --method nonlinear makes it: the
// column's request and record as the frequency-domain method reads and
// prepares them, the step-by-step response, its spectra, and the result
// files and console lines that report it. Everything is computed before
// anything is written; nothing here writes.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "column/site.h"
#include "nonlinear/nonlinear.h"

namespace korvo::nonlinear {

// What the nonlinear method adds to column::SiteRequest; of the request's
// column options only `input` counts (outcrop: an elastic base, within: a rigid one).
struct SiteOptions {
  int substeps = 20;  // time steps per record sample
  // No element thicker than this (profile's length unit); < 0: 1 m. The
  // wavelength rule at the request's fmax cuts the layers first.
  double max_element = -1.0;
  Viscous viscous = Viscous::Rayleigh;
  double f1 = 0.0, f2 = 0.0;  // Hz, Rayleigh frequencies; 0: f0 and 5 f1
  std::vector<double> loops;  // depths (profile's length unit) whose loops are written
  Unloading unloading = Unloading::Masing;
  bool strict = false;  // a step that does not converge refuses the run
};

// The stress-strain history of the element that holds a depth.
struct LoopHistory {
  double depth = 0.0;  // profile's length unit, as asked
  std::size_t element = 0;
  std::vector<double> strain, stress;  // %, kPa, one per record sample
};

// A total motion at a depth, at every record sample: acceleration in the
// record's unit; velocity and displacement in cm/s and cm for a record in
// cm/s^2, else m/s and m.
struct Motion {
  double depth = 0.0;  // profile's length unit
  std::vector<double> a, v, d;
};

struct SiteRun {
  std::vector<column::Sublayer> subs;
  std::vector<Element> elements;
  Options options;        // as the engine ran
  column::Motion motion;  // as analysed: prepared and scaled, in the record's unit
  double pga = 0.0;       // of the prepared record before scaling
  double scale = 1.0;
  Result result;
  Motion surface;
  std::vector<Motion> at;       // sorted by depth, each once
  std::vector<double> pga_top;  // record unit, at every node from the surface down
  std::vector<double> node_disp_peak, node_disp_residual;  // relative to the base, as Motion::d
  std::vector<double> sigma_v;     // kPa, vertical effective stress at each element's middle
  std::vector<LoopHistory> loops;  // sorted by depth, each once
  column::SmallStrain small;       // of the sublayers: Vs30, f0, kappa0
  std::vector<Real> periods;
  spectra::Spectrum input, output;  // 5 % damped, of the input and the surface motion
  double seconds = 0.0;             // the engine's run alone
  double energy_error = 0.0;        // (input - all the rest) / input, of Result::energy
};

// Throws korvo::Error for a column or record that cannot be analysed, a depth
// outside the column, a step that does not converge under `strict`, or a
// result that is not finite.
SiteRun run_site(const column::SiteRequest& request, const SiteOptions& options);

// The result files, name and text, in the order they are written.
std::vector<std::pair<std::string, std::string>> site_files(const column::SiteRequest& request,
                                                            const SiteRun& run);
// The console's summary lines, naming the folder the files went to.
std::string site_summary(const column::SiteRequest& request, const SiteRun& run,
                         const std::string& folder);
// column::column_warnings, a record whose unit nobody stated with a peak
// above 2 g, and steps that did not converge: one line each.
std::vector<std::string> site_warnings(const column::SiteRequest& request, const SiteRun& run);

// The file of the loops at a depth (profile's length unit): loops_5.csv.
std::string loops_file(double depth);

// What every figure of a run is titled with: the record's file name (and its
// scaling), the profile's, the method and its unloading.
std::string plot_title(const column::SiteRequest& request, const SiteRun& run);
// The gnuplot script of korvo-site --method nonlinear --plot: profile.png,
// spectra.png, with depths motions.png and with loops loops.png in `dir`,
// drawn from the files
// site_files wrote there.
std::string plot_script(const column::SiteRequest& request, const SiteRun& run,
                        const std::string& dir);
// The figures that script draws, by name.
std::vector<std::string> plot_figures(const SiteRun& run);

}  // namespace korvo::nonlinear
