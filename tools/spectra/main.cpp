// korvo-spectra: response spectra and ground peaks of a two-column acceleration history.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "spectra.h"

namespace {

using namespace korvo::spectra;
using korvo::Real;

constexpr const char* USAGE =
    "usage: korvo-spectra [options] HISTORY\n"
    "  HISTORY             lines of `time acceleration`, e.g. korvo_dat\n"
    "  -o, --output FILE   spectra file to write (default spectra_dat)\n"
    "  --damping Z         fraction of critical damping, 0 <= Z < 1 (default 0.05)\n"
    "  --tmin S, --tmax S  shortest and longest period in s (default 0.01 and 10)\n"
    "  --count N           number of periods, log-spaced (default 100)\n"
    "  --dt S              sample interval; skips the check that times are evenly spaced\n"
    "Columns: period (s), PSA, SV, SD in the history's acceleration unit (times s, s^2).\n"
    "Exit status: 0 done, 1 unreadable history, 2 wrong command line.\n";

[[noreturn]] void usage_error(const std::string& what) {
  std::cerr << "korvo-spectra: " << what << "\n" << USAGE;
  std::exit(2);
}

[[noreturn]] void fail(const std::string& what) {
  std::cerr << "korvo-spectra: " << what << "\n";
  std::exit(1);
}

double number(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v))
    usage_error(option + " needs a number, not '" + text + "'");
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  std::string input, output = "spectra_dat";
  double damping = 0.05, tmin = 0.01, tmax = 10.0, dt = 0.0;
  long count = 100;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      std::cout << USAGE;
      return 0;
    } else if (arg == "-o" || arg == "--output") {
      output = value();
    } else if (arg == "--damping") {
      damping = number(arg, value());
    } else if (arg == "--tmin") {
      tmin = number(arg, value());
    } else if (arg == "--tmax") {
      tmax = number(arg, value());
    } else if (arg == "--dt") {
      dt = number(arg, value());
      if (!(dt > 0.0)) usage_error("--dt must be positive");
    } else if (arg == "--count") {
      const double c = number(arg, value());
      if (c < 1.0 || c > 100000.0 || c != std::floor(c))
        usage_error("--count needs a whole number from 1 to 100000");
      count = static_cast<long>(c);
    } else if (!arg.empty() && arg[0] == '-') {
      usage_error("unknown option " + arg);
    } else if (input.empty()) {
      input = arg;
    } else {
      usage_error("one history at a time");
    }
  }
  if (input.empty()) usage_error("no history named");
  if (!(damping >= 0.0 && damping < 1.0)) usage_error("--damping must lie in [0, 1)");
  if (!(tmin > 0.0 && tmin <= tmax)) usage_error("periods need 0 < tmin <= tmax");
  if (count > 1 && tmin == tmax) usage_error("several periods need tmin < tmax");

  std::ifstream in(input, std::ios::binary);
  if (!in) fail("cannot open " + input);
  std::ostringstream text;
  text << in.rdbuf();

  try {
    const History h = read_history(text.str(), input, dt);
    const GroundPeaks g = ground_peaks(h.a, h.dt);
    std::vector<Response> rows;
    for (Real period :
         log_periods(static_cast<Real>(tmin), static_cast<Real>(tmax), static_cast<int>(count)))
      rows.push_back(oscillator_peaks(h.a, h.dt, period, static_cast<Real>(damping)));

    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out << format_spectra(input, h, static_cast<Real>(damping), g, rows);
    out.close();
    if (!out) fail("cannot write " + output);

    std::printf("%s: %zu samples, dt %g s; PGA %.6g, PGV %.6g, PGD %.6g\n", input.c_str(),
                h.a.size(), static_cast<double>(h.dt), static_cast<double>(g.pga),
                static_cast<double>(g.pgv), static_cast<double>(g.pgd));
    std::printf("%s: %ld periods from %g to %g s, damping %g\n", output.c_str(), count, tmin, tmax,
                damping);
  } catch (const SpectraError& e) {
    fail(e.what());
  }
  return 0;
}
