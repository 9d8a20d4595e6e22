// korvo-spectra: response spectra and ground peaks of a two-column acceleration history.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "command/command.h"
#include "motion/spectra.h"
#include "text/text.h"

namespace {

using namespace korvo::spectra;
using korvo::Real;

constexpr const char* USAGE =
    "usage: korvo-spectra [options] HISTORY\n"
    "  HISTORY             lines of `time acceleration`, e.g. korvo_dat\n"
    "  -o, --output FILE   spectra table to write, CSV (default spectra.csv)\n"
    "  --unit U            the history's unit: g, cm/s^2, m/s^2 (default: as its CSV\n"
    "                      header names it, e.g. accel_cm_s2, else g)\n"
    "  --damping Z         fraction of critical damping, 0 <= Z < 1 (default 0.05)\n"
    "  --damping-pct P     or the same in %, 0 <= P < 100 (default 5)\n"
    "  --scale F           multiply every sample by F\n"
    "  --scale-pga A       or scale the history to the peak A (its unit, or named: 0.3g)\n"
    "  --tmin S, --tmax S  shortest and longest period in s (default 0.01 and 10)\n"
    "  --count N           number of periods, log-spaced (default 100)\n"
    "  --dt S              sample interval; skips the check that times are evenly spaced\n"
    "  --no-oversample     use the samples as given, without the band-limited\n"
    "                      interpolation that gives the shortest period 20 steps\n"
    "Columns: period_s, psa_<unit> (the history's unit), sv_cm_s, sd_cm. FILE.note beside it\n"
    "holds the source, dt, damping, oversampling and the peaks PGA, PGV (cm/s), PGD (cm).\n"
    "Exit status: 0 done, 1 unreadable history, 2 wrong command line.\n";

using namespace korvo::command;

struct Options {
  std::string input, output = "spectra.csv", unit, scale_pga;
  double damping = 0.05, tmin = 0.01, tmax = 10.0, dt = 0.0, scale = 1.0;
  long count = 100;
  bool oversample = true;
};

// The command line through CLI11; values are checked here with korvo's number
// reader, so that the reports name the option and the text at fault.
Options parse_command_line(int argc, char** argv) {
  Options o;
  std::string damping, damping_pct, tmin, tmax, dt, count, scale;
  CLI::App app("korvo-spectra");
  app.allow_extras();  // reported below, in korvo's words
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("-o,--output", o.output);
  app.add_option("--unit", o.unit);
  auto* damping_opt = app.add_option("--damping", damping);
  auto* pct_opt = app.add_option("--damping-pct", damping_pct);
  auto* scale_opt = app.add_option("--scale", scale);
  app.add_option("--scale-pga", o.scale_pga);
  auto* tmin_opt = app.add_option("--tmin", tmin);
  auto* tmax_opt = app.add_option("--tmax", tmax);
  auto* dt_opt = app.add_option("--dt", dt);
  auto* count_opt = app.add_option("--count", count);
  auto* plain = app.add_flag("--no-oversample");
  app.add_option("HISTORY", o.input);
  parse(app, argc, argv, "history");
  auto number = [](const CLI::Option* opt, const std::string& text, double& v) {
    if (opt->count() == 0) return;
    if (korvo::parse_number(text, v) != korvo::Parse::Ok)
      usage_error(opt->get_name() + " needs a number, not '" + text + "'");
  };
  number(damping_opt, damping, o.damping);
  if (pct_opt->count() > 0) {
    if (damping_opt->count() > 0) usage_error("--damping and --damping-pct both set the damping");
    double pct = 0.0;
    number(pct_opt, damping_pct, pct);
    if (!(pct >= 0.0 && pct < 100.0)) usage_error("--damping-pct must lie in [0, 100)");
    o.damping = pct / 100.0;
  }
  number(scale_opt, scale, o.scale);
  if (!(std::fabs(o.scale) > 0.0 && std::isfinite(o.scale)))
    usage_error("--scale needs a finite, non-zero factor, not '" + scale + "'");
  if (scale_opt->count() > 0 && !o.scale_pga.empty())
    usage_error("--scale and --scale-pga both scale the history: give one");
  number(tmin_opt, tmin, o.tmin);
  number(tmax_opt, tmax, o.tmax);
  number(dt_opt, dt, o.dt);
  if (dt_opt->count() > 0 && !(o.dt > 0.0)) usage_error("--dt must be positive");
  double c = static_cast<double>(o.count);
  number(count_opt, count, c);
  if (c < 1.0 || c > 100000.0 || c != std::floor(c))
    usage_error("--count needs a whole number from 1 to 100000");
  o.count = static_cast<long>(c);
  o.oversample = plain->count() == 0;
  korvo::record::Unit u{};
  if (!o.unit.empty() && !korvo::record::parse_unit(o.unit, u))
    usage_error("--unit is one of g, cm/s^2, m/s^2, not '" + o.unit + "'");
  if (o.input.empty()) usage_error("no history named");
  if (!(o.damping >= 0.0 && o.damping < 1.0)) usage_error("--damping must lie in [0, 1)");
  if (!(o.tmin > 0.0 && o.tmin <= o.tmax)) usage_error("periods need 0 < tmin <= tmax");
  if (o.count > 1 && o.tmin == o.tmax) usage_error("several periods need tmin < tmax");
  return o;
}

void run(const Options& o) {
  History h = read_history(read_file(o.input), o.input, o.dt);
  namespace rec = korvo::record;
  rec::Unit unit = rec::Unit::G;
  if (!o.unit.empty())
    rec::parse_unit(o.unit, unit);
  else if (!h.column.empty() && !rec::unit_of_column(h.column, unit))
    fail(o.input + ": the header names the values " + korvo::quote(h.column) +
         ", not accel_<unit>: give --unit");
  double factor = o.scale;
  if (!o.scale_pga.empty()) {
    double target = 0.0, peak = 0.0;
    try {
      target = rec::parse_peak(o.scale_pga, unit);
    } catch (const korvo::Error& e) {
      usage_error(std::string("--scale-pga: ") + e.what());
    }
    for (Real a : h.a) peak = std::max(peak, std::fabs(static_cast<double>(a)));
    if (peak == 0.0) fail(o.input + ": every sample is 0; it cannot be scaled to a peak");
    factor = target / peak;
  }
  if (factor != 1.0)
    for (Real& a : h.a) a = korvo::real(static_cast<double>(a) * factor);
  const Real damping = korvo::real(o.damping);
  const Spectrum s = response_spectrum(
      h.a, h.dt, log_periods(korvo::real(o.tmin), korvo::real(o.tmax), static_cast<int>(o.count)),
      damping, o.oversample ? 0 : 1);
  const GroundPeaks& g = s.ground;
  // Values beyond single precision are refused, not written as inf.
  if (!std::isfinite(g.pga) || !std::isfinite(g.pgv) || !std::isfinite(g.pgd))
    fail(o.input + ": the ground's peaks are beyond single precision");
  for (const auto& r : s.rows) {
    if (std::isfinite(r.psa) && std::isfinite(r.sv) && std::isfinite(r.sd)) continue;
    char period[32];
    std::snprintf(period, sizeof period, "%g", korvo::wide(r.period));
    fail(o.input + ": the response at period " + period + " s is beyond single precision");
  }
  write_file(o.output, format_spectra(s, unit));
  write_file(o.output + ".note", format_spectra_note(o.input, h, damping, s, unit));

  const double to_cm = rec::unit_factor(unit, rec::Unit::CmS2);
  char scaled[64] = "";
  if (factor != 1.0) std::snprintf(scaled, sizeof scaled, " (scaled by %.6g)", factor);
  std::printf("%s: %zu samples, dt %g s; PGA %.6g %s%s, PGV %.6g cm/s, PGD %.6g cm\n",
              o.input.c_str(), h.a.size(), korvo::wide(h.dt), korvo::wide(g.pga),
              rec::unit_name(unit), scaled, korvo::wide(g.pgv) * to_cm, korvo::wide(g.pgd) * to_cm);
  std::printf("%s: %ld periods from %g to %g s, damping %g, %s\n", o.output.c_str(), o.count,
              o.tmin, o.tmax, o.damping, oversampling_words(s.factor).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  try {
    run(parse_command_line(argc, argv));
  } catch (const VersionAsked&) {
    std::printf("korvo-spectra %s\n", KORVO_VERSION);
    return 0;
  } catch (const HelpAsked&) {
    std::cout << USAGE;
  } catch (const Refusal& r) {
    std::cerr << "korvo-spectra: " << r.what << "\n";
    if (r.status == 2) std::cerr << USAGE;
    return r.status;
  } catch (const korvo::Error& e) {
    std::cerr << "korvo-spectra: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
