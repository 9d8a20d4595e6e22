// korvo-spectra: response spectra and ground peaks of a two-column acceleration history.
#include <CLI/CLI.hpp>
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
  std::string input, output = "spectra.csv", unit;
  double damping = 0.05, tmin = 0.01, tmax = 10.0, dt = 0.0;
  long count = 100;
  bool oversample = true;
};

// The command line through CLI11; values are checked here with korvo's number
// reader, so that the reports name the option and the text at fault.
Options parse_command_line(int argc, char** argv) {
  Options o;
  std::string damping, tmin, tmax, dt, count;
  CLI::App app("korvo-spectra");
  app.allow_extras();  // reported below, in korvo's words
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("-o,--output", o.output);
  app.add_option("--unit", o.unit);
  auto* damping_opt = app.add_option("--damping", damping);
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
  const History h = read_history(read_file(o.input), o.input, o.dt);
  namespace rec = korvo::record;
  rec::Unit unit = rec::Unit::G;
  if (!o.unit.empty())
    rec::parse_unit(o.unit, unit);
  else if (!h.column.empty() && !rec::unit_of_column(h.column, unit))
    fail(o.input + ": the header names the values " + korvo::quote(h.column) +
         ", not accel_<unit>: give --unit");
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
  std::printf("%s: %zu samples, dt %g s; PGA %.6g %s, PGV %.6g cm/s, PGD %.6g cm\n",
              o.input.c_str(), h.a.size(), korvo::wide(h.dt), korvo::wide(g.pga),
              rec::unit_name(unit), korvo::wide(g.pgv) * to_cm, korvo::wide(g.pgd) * to_cm);
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
