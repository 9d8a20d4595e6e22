// korvo-site: linear, equivalent-linear or nonlinear site response of a layered column.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "column/rvt_motion.h"
#include "column/site.h"
#include "command/command.h"
#include "machine/machine.h"
#include "nonlinear/site.h"
#include "text/text.h"

namespace {

namespace fs = std::filesystem;
namespace col = korvo::column;
namespace nl = korvo::nonlinear;
namespace rec = korvo::record;
using namespace korvo::command;

constexpr const char* USAGE =
    "usage: korvo-site [options] PROFILE RECORD\n"
    "       korvo-site [options] PROFILE --motion FILE\n"
    "  PROFILE             the soil column over a half-space: TOML, or korvo's soil\n"
    "                      file with --soil-unit\n"
    "  RECORD              acceleration record: `time acceleration` pairs, PEER AT2 or USGS SMC\n"
    "  --motion FILE       an RVT motion in place of the RECORD: TOML with [point_source],\n"
    "                      [fas] or [target] (inverse RVT); see docs/rvt.md\n"
    "  -o, --output DIR    folder for the results (default site_out), made when missing\n"
    "  --method M          eql: equivalent-linear (default); linear: small-strain properties;\n"
    "                      fdeql: equivalent-linear with properties per frequency, from each\n"
    "                      sublayer's strain spectrum (flat to its mean frequency, a fitted\n"
    "                      power beyond; --smoothing flat: one strain, as eql)\n"
    "                      nonlinear: hysteretic soil integrated step by step\n"
    "  --at Z              also write the motion at depth Z (profile's length unit); repeatable\n"
    "  --input KIND        outcrop: the record is the half-space's outcrop motion (default;\n"
    "                      nonlinear: an elastic base); within: the motion within the\n"
    "                      column at the half-space's top (nonlinear: a rigid base)\n"
    "  --unit U            unit of a pairs record: g (default), cm/s^2, m/s^2; a CSV\n"
    "                      record's header names its own (time_s,accel_cm_s2)\n"
    "  --scale-pga A       scale the record to the peak A (record's unit, or named: 0.3g)\n"
    "  --scale F           or multiply every sample by F\n"
    "  --baseline B        mean or linear: first remove the record's mean or linear trend\n"
    "  --band-pass F       f1,f2,f3,f4: keep the record's band f2-f3 Hz, tapered linearly\n"
    "                      to nothing at f1 and f4 (f4 may be inf), before the run\n"
    "  --format F          pairs, at2 or smc (default: from the name and the content)\n"
    "  --soil-unit U       m or ft: the length unit of a PROFILE given as korvo's soil\n"
    "                      file (RHO then a density in t/m^3 or a unit weight in kcf)\n"
    "  --fmax F            highest frequency for dividing layers, Hz (default 25)\n"
    "  --strain-ratio R    effective over peak strain, a ratio from 0.01 to 1 (default 0.65)\n"
    "  --magnitude M       strain ratio (M - 1)/10 for magnitude M from 1.1 to 10\n"
    "  --tol T             stop when G/Gmax and damping are within the relative distance T\n"
    "                      of the fixed point, a fraction (default 0.001)\n"
    "  --max-iter N        most iterations (default 100)\n"
    "  --plain             plain fixed-point iteration instead of Anderson mixing\n"
    "  --model M           complex modulus: velocity V(1+i xi) (default), simple G(1+2i xi),\n"
    "                      unit-modulus G(1-2xi^2+2i xi sqrt(1-xi^2))\n"
    "  --pad S             seconds of quiet after the record (default 10); the transform\n"
    "                      length is rounded up to 2^a, 5 2^a or 25 2^a samples\n"
    "  --nfft N            the transform length itself, at least the record's samples\n"
    "  --plot              also draw profile.png, spectra.png and, with --at,\n"
    "                      motions.png with gnuplot\n"
    "  --strain-limit S    warn of effective strains above S % (default 1)\n"
    "  --strict            refuse, rather than warn of, a likely mistake in the input\n"
    "                      or a nonlinear time step that does not converge\n"
    "  --version           print korvo-site's version\n"
    "Nonlinear only (the eql and linear options above from --strain-ratio to --nfft\n"
    "and --strain-limit are refused with it; its --plot draws profile.png, spectra.png,\n"
    "with --at motions.png and with --loops loops.png):\n"
    "  --substeps N        time steps per record sample (default 20)\n"
    "  --max-element H     no element thicker than H (profile's length unit; default\n"
    "                      1 m), after the layers are divided at --fmax\n"
    "  --rayleigh F1,F2    Hz where the Rayleigh damping is exact (default: the column's\n"
    "                      quarter-wavelength frequency f0 and 5 f0)\n"
    "  --viscous D         the viscous (small-strain) damping: rayleigh (default, see\n"
    "                      --rayleigh) or frequency-independent (every mode of the\n"
    "                      column at its layers' damping; a full matrix, at most 1000\n"
    "                      elements)\n"
    "  --unloading U       masing: extended Masing rules (default); mrdf: non-Masing,\n"
    "                      the loops' damping reduced to fit each layer's damping curve\n"
    "  --loops Z1,Z2,...   write the stress-strain loops of the elements at these\n"
    "                      depths (profile's length unit) to loops_<Z>.csv\n"
    "Exit status: 0 results written (also when not converged: the console and\n"
    "iterations.csv say so; nonlinear: the console and a warning), 1 bad input,\n"
    "2 wrong command line.\n";

struct Command {
  col::SiteRequest request;
  bool nonlinear = false;
  nl::SiteOptions nonlinear_options;
  std::string folder = "site_out", profile, record, unit, scale_pga, format, soil_unit, motion;
  bool plot = false, strict = false;
};

bool on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::stringstream dirs(path);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::error_code ec;
    const fs::path p = fs::path(dir.empty() ? "." : dir) / program;
    if (fs::is_regular_file(p, ec) &&
        (fs::status(p, ec).permissions() & fs::perms::others_exec) != fs::perms::none)
      return true;
  }
  return false;
}

// The command line through CLI11; numbers are read with korvo's reader and
// checked here, so that a report names the option, what it means and the text.
Command parse_command_line(int argc, char** argv) {
  Command c;
  col::Options& o = c.request.options;
  std::string method = "eql", input = "outcrop", model = "velocity", fmax, ratio, magnitude, tol,
              scale, max_iter, pad, nfft, strain_limit, band, baseline, smoothing;
  std::vector<std::string> depths;
  std::string substeps, max_element, rayleigh, loops, unloading, viscous;
  CLI::App app("korvo-site");
  app.allow_extras();
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("-o,--output", c.folder);
  app.add_option("--motion", c.motion);
  app.add_option("--method", method);
  app.add_option("--smoothing", smoothing);
  app.add_option("--at", depths)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--input", input);
  app.add_option("--unit", c.unit);
  app.add_option("--scale-pga", c.scale_pga);
  auto* scale_opt = app.add_option("--scale", scale);
  auto* band_opt = app.add_option("--band-pass", band);
  auto* baseline_opt = app.add_option("--baseline", baseline);
  app.add_option("--format", c.format);
  app.add_option("--soil-unit", c.soil_unit);
  auto* fmax_opt = app.add_option("--fmax", fmax);
  auto* ratio_opt = app.add_option("--strain-ratio", ratio);
  auto* magnitude_opt = app.add_option("--magnitude", magnitude);
  auto* tol_opt = app.add_option("--tol", tol);
  auto* iter_opt = app.add_option("--max-iter", max_iter);
  auto* plain = app.add_flag("--plain");
  auto* model_opt = app.add_option("--model", model);
  auto* substeps_opt = app.add_option("--substeps", substeps);
  auto* element_opt = app.add_option("--max-element", max_element);
  auto* rayleigh_opt = app.add_option("--rayleigh", rayleigh);
  auto* loops_opt = app.add_option("--loops", loops);
  auto* unloading_opt = app.add_option("--unloading", unloading);
  auto* viscous_opt = app.add_option("--viscous", viscous);
  auto* pad_opt = app.add_option("--pad", pad);
  auto* nfft_opt = app.add_option("--nfft", nfft);
  app.add_flag("--plot", c.plot);
  app.add_flag("--strict", c.strict);
  auto* limit_opt = app.add_option("--strain-limit", strain_limit);
  app.add_option("PROFILE", c.profile);
  app.add_option("RECORD", c.record);
  parse(app, argc, argv, "profile and one record");
  if (c.profile.empty()) usage_error("a PROFILE and a RECORD are needed");
  if (c.record.empty() && c.motion.empty())
    usage_error("a RECORD is needed after the profile " + c.profile);

  // A value of an option given, in [lo, hi]; `means` says what it is.
  auto number = [](const CLI::Option* opt, const std::string& text, double lo, double hi,
                   const char* means, double& v) {
    if (opt->count() == 0) return;
    double x = 0.0;
    if (korvo::parse_number(text, x) != korvo::Parse::Ok || !(x >= lo && x <= hi)) {
      char range[96];
      std::snprintf(range, sizeof range, " from %g to %g", lo, hi);
      usage_error(opt->get_name() + " is " + means + range + ", not " + korvo::quote(text));
    }
    v = x;
  };
  number(fmax_opt, fmax, 1e-3, 1e6, "the highest frequency for dividing layers in Hz,",
         c.request.fmax);
  number(ratio_opt, ratio, 0.01, 1.0, "the effective over peak strain, a ratio", o.strain_ratio);
  number(scale_opt, scale, 1e-30, 1e30, "a factor for every sample,", c.request.scale);
  if (scale_opt->count() && !c.scale_pga.empty())
    usage_error("--scale and --scale-pga both scale the record: give one");
  if (baseline_opt->count()) {
    if (baseline != "mean" && baseline != "linear")
      usage_error("--baseline removes the record's mean or its linear trend: mean or linear, not " +
                  korvo::quote(baseline));
    c.request.baseline = baseline == "mean" ? 0 : 1;
  }
  if (band_opt->count()) {
    // Four corners in Hz, comma-separated; "inf" keeps the high end.
    std::vector<double>& f = c.request.band_pass_hz;
    std::stringstream parts(band);
    bool numbers = true;
    for (std::string part; std::getline(parts, part, ',');) {
      double v = HUGE_VAL;
      if (part != "inf" && (korvo::parse_number(part, v) != korvo::Parse::Ok || !std::isfinite(v)))
        numbers = false;
      f.push_back(v);
    }
    if (!numbers || f.size() != 4 || !(0.0 <= f[0] && f[0] <= f[1] && f[1] <= f[2] && f[2] <= f[3]))
      usage_error(
          "--band-pass is four corners in Hz, f1,f2,f3,f4 with 0 <= f1 <= f2 <= f3 <= f4 "
          "(f4 may be inf), not " +
          korvo::quote(band));
  }
  double m = 0.0;
  number(magnitude_opt, magnitude, 1.1, 10.0, "the earthquake's magnitude,", m);
  if (ratio_opt->count() && magnitude_opt->count())
    usage_error("--strain-ratio and --magnitude both set the strain ratio: give one");
  if (magnitude_opt->count()) o.strain_ratio = (m - 1.0) / 10.0;
  number(tol_opt, tol, 1e-15, 0.5, "a relative distance, a fraction", o.tol);
  number(limit_opt, strain_limit, 0.0, 100.0, "the effective strain in % warned of,",
         c.request.strain_limit);
  double iterations = o.max_iter;
  number(iter_opt, max_iter, 1.0, 100000.0, "the most iterations,", iterations);
  if (iterations != std::floor(iterations))
    usage_error("--max-iter is a whole number of iterations, not " + korvo::quote(max_iter));
  o.max_iter = static_cast<int>(iterations);
  number(pad_opt, pad, 0.0, 1e4, "seconds of quiet after the record,", o.pad);
  double n = 0.0;
  number(nfft_opt, nfft, 2.0, static_cast<double>(col::TRANSFORM_MAX), "a transform length,", n);
  if (n != std::floor(n))
    usage_error("--nfft is a whole number of samples, not " + korvo::quote(nfft));
  o.nfft = static_cast<long>(n);
  if (pad_opt->count() && nfft_opt->count())
    usage_error("--pad and --nfft both set the transform length: give one");
  o.accelerate = plain->count() == 0;
  for (const std::string& text : depths) {
    double z = 0.0;
    if (korvo::parse_number(text, z) != korvo::Parse::Ok || !(z >= 0.0) || !std::isfinite(z))
      usage_error("--at is a depth of 0 or more, not " + korvo::quote(text));
    c.request.depths.push_back(z);
  }

  auto one_of = [](const char* option, const std::string& text,
                   std::initializer_list<const char*> words) {
    std::string list;
    for (const char* w : words) {
      if (text == w) return;
      list += list.empty() ? w : std::string(", ") + w;
    }
    usage_error(std::string(option) + " is one of " + list + ", not " + korvo::quote(text));
  };
  one_of("--method", method, {"linear", "eql", "fdeql", "nonlinear"});
  o.method = method == "linear" ? col::Method::Linear : col::Method::Eql;
  c.request.frequency_dependent = method == "fdeql";
  if (!smoothing.empty()) {
    if (method != "fdeql") usage_error("--smoothing is for --method fdeql");
    one_of("--smoothing", smoothing, {"ka", "flat"});
    c.request.smoothing =
        smoothing == "flat" ? col::Smoothing::Flat : col::Smoothing::KauselAssimaki;
  }
  c.nonlinear = method == "nonlinear";
  // An option of the other methods would be silently ignored: refused instead.
  const std::vector<const CLI::Option*> frequency_only = {
      ratio_opt, magnitude_opt, tol_opt, iter_opt, plain, model_opt, pad_opt, nfft_opt, limit_opt};
  const std::vector<const CLI::Option*> nonlinear_only = {substeps_opt, element_opt,   rayleigh_opt,
                                                          loops_opt,    unloading_opt, viscous_opt};
  for (const CLI::Option* opt : c.nonlinear ? frequency_only : nonlinear_only)
    if (opt->count())
      usage_error(opt->get_name() + " is for " +
                  (c.nonlinear ? "--method eql or linear" : "--method nonlinear") +
                  ", not --method " + method);
  nl::SiteOptions& nlo = c.nonlinear_options;
  double steps = nlo.substeps;
  number(substeps_opt, substeps, 1.0, 10000.0, "time steps per record sample,", steps);
  if (steps != std::floor(steps))
    usage_error("--substeps is a whole number of time steps, not " + korvo::quote(substeps));
  nlo.substeps = static_cast<int>(steps);
  number(element_opt, max_element, 1e-6, 1e6, "the largest element's thickness,", nlo.max_element);
  // A list of numbers, comma-separated, each checked as `number` checks one.
  auto numbers = [](const std::string& text) {
    std::vector<double> out;
    std::stringstream parts(text);
    for (std::string part; std::getline(parts, part, ',');) {
      double v = 0.0;
      if (korvo::parse_number(part, v) != korvo::Parse::Ok || !std::isfinite(v))
        return std::vector<double>{};
      out.push_back(v);
    }
    return out;
  };
  if (rayleigh_opt->count()) {
    const std::vector<double> f = numbers(rayleigh);
    if (f.size() != 2 || !(f[0] > 0.0 && f[1] > f[0]))
      usage_error("--rayleigh is two frequencies in Hz, F1,F2 with 0 < F1 < F2, not " +
                  korvo::quote(rayleigh));
    nlo.f1 = f[0];
    nlo.f2 = f[1];
  }
  if (loops_opt->count()) {
    nlo.loops = numbers(loops);
    if (nlo.loops.empty() ||
        std::any_of(nlo.loops.begin(), nlo.loops.end(), [](double z) { return z < 0.0; }))
      usage_error("--loops is depths of 0 or more, Z1,Z2,..., not " + korvo::quote(loops));
  }
  nlo.strict = c.strict;
  if (viscous_opt->count()) {
    one_of("--viscous", viscous, {"rayleigh", "frequency-independent"});
    if (viscous != "rayleigh") {
      if (rayleigh_opt->count())
        usage_error("--rayleigh is for --viscous rayleigh, not --viscous " + viscous);
      nlo.viscous = nl::Viscous::FrequencyIndependent;
    }
  }
  if (unloading_opt->count()) {
    one_of("--unloading", unloading, {"masing", "mrdf"});
    nlo.unloading = unloading == "mrdf" ? nl::Unloading::Mrdf : nl::Unloading::Masing;
  }
  one_of("--input", input, {"outcrop", "within"});
  o.input = input == "within" ? col::InputKind::Within : col::InputKind::Outcrop;
  one_of("--model", model, {"velocity", "simple", "unit-modulus"});
  o.modulus = model == "simple"         ? col::ComplexModulus::Simple
              : model == "unit-modulus" ? col::ComplexModulus::UnitModulus
                                        : col::ComplexModulus::Velocity;
  if (!c.format.empty()) one_of("--format", c.format, {"pairs", "at2", "smc"});
  rec::Unit u{};
  if (!c.unit.empty() && !rec::parse_unit(c.unit, u))
    usage_error("--unit is one of g, cm/s^2, m/s^2, not " + korvo::quote(c.unit));
  return c;
}

bool looks_like_record(const std::string& text, const std::string& name) {
  try {
    rec::read_accelerogram(text, name);
    return true;
  } catch (const korvo::Error&) {
    return false;
  }
}

// The profile and the record, read before anything is computed.
void read_inputs(Command& c) {
  col::SiteRequest& q = c.request;
  q.profile_name = c.profile;
  q.record_name = c.record;
  const std::string profile = read_file(c.profile);
  try {
    q.column = col::read_profile(profile, c.profile, c.soil_unit, "--soil-unit");
  } catch (const korvo::Error&) {
    // A record where the profile goes: say so rather than quote the TOML parser.
    if (looks_like_record(profile, c.profile))
      usage_error(c.profile + " is a record, not a profile: korvo-site PROFILE RECORD");
    throw;
  }
  const rec::Layout layout = c.format == "pairs" ? rec::Layout::Pairs
                             : c.format == "at2" ? rec::Layout::At2
                             : c.format == "smc" ? rec::Layout::Smc
                                                 : rec::Layout::Detect;
  const std::string record = read_file(c.record);
  try {
    q.record = rec::read_accelerogram(record, c.record, layout);
  } catch (const korvo::Error&) {
    if (record.find("[[layer]]") != std::string::npos)
      usage_error(c.record + " is a profile, not a record: korvo-site PROFILE RECORD");
    throw;
  }
  rec::Unit named = rec::Unit::G;
  if (!c.unit.empty()) rec::parse_unit(c.unit, named);
  if (q.record.layout == rec::Layout::Pairs && !q.record.unit_stated) {
    q.record.unit = named;
    q.record.unit_stated = !c.unit.empty();
  } else if (!c.unit.empty() && named != q.record.unit) {
    usage_error("--unit " + c.unit + " is for pairs files without a unit; " + c.record + " is in " +
                rec::unit_name(q.record.unit));
  }
  if (!c.scale_pga.empty()) {
    try {
      q.target_pga = rec::parse_peak(c.scale_pga, q.record.unit);
    } catch (const korvo::Error& e) {
      usage_error(std::string("--scale-pga: ") + e.what());
    }
  }
}

// Every file is computed before the folder is made; each is written whole.
void write_all(const std::string& folder,
               const std::vector<std::pair<std::string, std::string>>& files) {
  const fs::path dir(folder);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir))
    fail("cannot make the folder " + folder + (ec ? ": " + ec.message() : std::string()));
  if (!korvo::lock_folder(folder.c_str())) fail("another run is writing its results in " + folder);
  for (const auto& [name, text] : files) write_file((dir / name).string(), text);
}

// korvo-site PROFILE --motion FILE: an RVT motion in place of a record.
int run_rvt(const Command& c) {
  const col::SiteRequest& q = c.request;
  if (!c.record.empty())
    usage_error("--motion " + c.motion + " takes the place of the RECORD " + c.record +
                ": give one");
  std::vector<std::string> record_only;
  for (const auto& [option, given] : {std::pair<const char*, bool>{"--unit", !c.unit.empty()},
                                      {"--scale-pga", !c.scale_pga.empty()},
                                      {"--format", !c.format.empty()},
                                      {"--plot", c.plot}})
    if (given) record_only.push_back(option);
  if (q.scale != 1.0) record_only.push_back("--scale");
  if (q.baseline >= 0) record_only.push_back("--baseline");
  if (!q.band_pass_hz.empty()) record_only.push_back("--band-pass");
  if (!q.depths.empty()) record_only.push_back("--at");
  if (q.options.nfft != 0 || q.options.pad != col::Options{}.pad)
    record_only.push_back("--pad/--nfft");
  if (!record_only.empty())
    usage_error(record_only.front() + " is for a record; an RVT motion (--motion " + c.motion +
                ") has no samples");
  try {
    const col::RvtMotionRun r = col::run_rvt_motion(q, c.profile, read_file(c.profile), c.soil_unit,
                                                    c.motion, read_file(c.motion), c.folder);
    if (c.strict && !r.warnings.empty())
      fail(r.warnings.front().substr(std::string("warning: ").size()) + " (--strict)");
    write_all(c.folder, r.files);
    std::fputs(r.summary.c_str(), stdout);
    std::fflush(stdout);
    for (const std::string& w : r.warnings) std::fprintf(stderr, "korvo-site: %s\n", w.c_str());
  } catch (const korvo::Error& e) {
    fail(e.what());
  }
  return 0;
}

int run(int argc, char** argv) {
  Command c = parse_command_line(argc, argv);
  if (!c.motion.empty() && (c.nonlinear || c.request.frequency_dependent))
    usage_error("--motion is for --method eql or linear: an RVT motion has no time history");
  if (!c.motion.empty()) return run_rvt(c);
  if (c.plot && !on_path("gnuplot"))
    fail("--plot needs gnuplot on the PATH (Debian: apt-get install gnuplot-nox)");
  try {
    read_inputs(c);
    // --strict: a likely mistake ends the run before anything is written.
    auto strictly = [&](const std::vector<std::string>& warnings) {
      if (c.strict && !warnings.empty())
        fail(warnings.front().substr(std::string("warning: ").size()) + " (--strict)");
    };
    strictly(col::column_warnings(c.request.column));
    const fs::path dir(c.folder);
    auto report = [&](const std::string& summary, const std::vector<std::string>& warnings) {
      std::fputs(summary.c_str(), stdout);
      std::fflush(stdout);
      for (const std::string& w : warnings) std::fprintf(stderr, "korvo-site: %s\n", w.c_str());
    };
    // The figures, drawn by gnuplot from the files just written.
    auto draw = [&](const std::string& script, const std::vector<std::string>& figures) {
      FILE* gp = popen("gnuplot", "w");
      if (!gp) fail("cannot start gnuplot");
      std::fwrite(script.data(), 1, script.size(), gp);
      if (pclose(gp) != 0) fail("gnuplot failed to draw the figures");
      std::string drew;
      for (const std::string& name : figures) drew += (drew.empty() ? "" : ", ") + name;
      std::printf("drew %s: %s\n", dir.string().c_str(), drew.c_str());
    };
    if (c.nonlinear) {
      const nl::SiteRun r = nl::run_site(c.request, c.nonlinear_options);
      const std::vector<std::string> warnings = nl::site_warnings(c.request, r);
      strictly(warnings);
      write_all(c.folder, nl::site_files(c.request, r));
      report(nl::site_summary(c.request, r, dir.string()), warnings);
      if (c.plot) draw(nl::plot_script(c.request, r, dir.string()), nl::plot_figures(r));
      return 0;
    }
    const col::SiteRun r = col::run_site(c.request);
    const std::vector<std::string> warnings = col::site_warnings(c.request, r);
    strictly(warnings);
    write_all(c.folder, col::site_files(c.request, r));
    report(col::site_summary(c.request, r, dir.string()), warnings);
    if (c.plot) draw(col::plot_script(c.request, r, dir.string()), col::plot_figures(r));
  } catch (const korvo::Error& e) {
    fail(e.what());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const VersionAsked&) {
    std::printf("korvo-site %s\n", KORVO_VERSION);
    return 0;
  } catch (const HelpAsked&) {
    std::fputs(USAGE, stdout);
    return 0;
  } catch (const Refusal& r) {
    std::fflush(stdout);
    std::fprintf(stderr, "korvo-site: %s\n", r.what.c_str());
    return r.status;
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "korvo-site: not enough memory\n");
    return 1;
  }
}
