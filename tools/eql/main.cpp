// korvo-eql: equivalent-linear site response of a layered column.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "eql.h"
#include "record.h"
#include "spectra.h"

namespace fs = std::filesystem;
using namespace korvo::eql;
namespace rec = korvo::record;

namespace {

// The end of a run for bad input: one line, status 1.
struct InputError {
  std::string what;
};
// A command line that cannot be right: one line, status 2.
struct UsageError {
  std::string what;
};

std::string slurp(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) throw InputError{path + " is a directory"};
  std::ifstream in(path, std::ios::binary);
  if (!in) throw InputError{"cannot open " + path};
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw InputError{"cannot read " + path};
  return text.str();
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw InputError{"cannot write " + path.string()};
}

bool on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::stringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::error_code ec;
    const fs::path p = fs::path(dir.empty() ? "." : dir) / program;
    if (fs::is_regular_file(p, ec) &&
        (fs::status(p, ec).permissions() & fs::perms::others_exec) != fs::perms::none)
      return true;
  }
  return false;
}

// Acceleration units by name, with their size in m/s^2.
struct Unit {
  const char* name;
  double si;
};
constexpr Unit G_UNIT{"g", GRAVITY}, CMS2{"cm/s^2", 0.01}, MS2{"m/s^2", 1.0};

// g, cm/s^2 (cm/s2, gal), m/s^2 (m/s2), in any case.
bool parse_unit(std::string_view text, Unit& unit) {
  std::string t(text);
  for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (t == "g")
    unit = G_UNIT;
  else if (t == "cm/s^2" || t == "cm/s2" || t == "gal")
    unit = CMS2;
  else if (t == "m/s^2" || t == "m/s2")
    unit = MS2;
  else
    return false;
  return true;
}

Unit unit_of(rec::Unit u) {
  switch (u) {
    case rec::Unit::G:
      return G_UNIT;
    case rec::Unit::CmS2:
      return CMS2;
    case rec::Unit::MS2:
      return MS2;
  }
  return G_UNIT;
}

// "0.3", "0.3g", "294cm/s^2": a peak in the record's unit unless one is named.
double peak_in(const std::string& text, Unit record_unit) {
  double v = 0.0;
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, v);
  if (r.ec != std::errc() || !(v > 0.0) || !std::isfinite(v))
    throw UsageError{"--scale-pga needs a positive peak, optionally with a unit, not '" + text +
                     "'"};
  std::string_view rest(r.ptr, static_cast<std::size_t>(end - r.ptr));
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  if (rest.empty()) return v;
  Unit u{};
  if (!parse_unit(rest, u))
    throw UsageError{"--scale-pga: unknown unit '" + std::string(rest) + "' (g, cm/s^2, m/s^2)"};
  return v * u.si / record_unit.si;
}

struct Input {
  Motion motion;
  Unit unit = G_UNIT;
  double pga = 0.0, scale = 1.0;
};

// A pairs file is in --unit (g by default); AT2 and SMC records carry their own.
Input read_record(const std::string& path, const std::string& format,
                  const std::string& unit_text) {
  const std::string text = slurp(path);
  Input in;
  Unit named = G_UNIT;
  const bool unit_given = !unit_text.empty();
  if (unit_given && !parse_unit(unit_text, named))
    throw UsageError{"--unit: unknown unit '" + unit_text + "' (g, cm/s^2, m/s^2)"};
  std::string kind = format;
  try {
    if (kind.empty()) {
      try {
        kind = rec::detect_format(path, text) == rec::Format::At2 ? "at2" : "smc";
      } catch (const rec::RecordError&) {
        kind = "pairs";
      }
    }
    if (kind == "pairs") {
      in.motion = read_pairs(text, path);
      in.unit = named;
    } else {
      const rec::Record r = kind == "at2" ? rec::read_at2(text, path) : rec::read_smc(text, path);
      in.motion.a.assign(r.a.begin(), r.a.end());
      in.motion.dt = r.dt;
      in.unit = unit_of(r.unit);
      if (unit_given && named.si != in.unit.si)
        throw UsageError{"--unit " + unit_text + " is for pairs files; " + path + " is in " +
                         in.unit.name};
    }
  } catch (const rec::RecordError& e) {
    throw InputError{e.what()};
  } catch (const EqlError& e) {
    throw InputError{e.what()};
  }
  in.motion.to_si = in.unit.si;
  for (double a : in.motion.a) in.pga = std::max(in.pga, std::fabs(a));
  return in;
}

std::vector<float> psa(const std::vector<double>& a, double dt, const std::vector<float>& periods) {
  const std::vector<float> af(a.begin(), a.end());
  std::vector<float> out;
  for (float T : periods)
    out.push_back(korvo::spectra::oscillator_peaks(af, static_cast<float>(dt), T, 0.05f).psa);
  return out;
}

std::string pct(double fraction) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g %%", fraction * 100.0);
  return buf;
}

std::string g6(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

int run(int argc, char** argv) {
  CLI::App app{"Equivalent-linear site response of a layered soil column (vertical SH waves).",
               "korvo-eql"};
  std::string profile_path, record_path, out_dir = "eql_out", input = "outcrop", scale_text,
                                         unit_text, format, model = "velocity";
  std::vector<double> depths;
  double fmax = 25.0, ratio = 0.65, magnitude = 0.0, tol = 1e-3, pad = 10.0;
  int max_iter = 100;
  bool plain = false, plot = false;
  app.add_option("PROFILE", profile_path, "profile file (TOML)")->required();
  app.add_option("RECORD", record_path, "record: `time acceleration` pairs, PEER AT2 or USGS SMC")
      ->required();
  app.add_option("-o,--output", out_dir, "folder for the results (default eql_out)");
  app.add_option("--at", depths,
                 "also write the motion at this depth (profile's length unit); repeatable")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--input", input,
                 "the record is the outcrop motion of the half-space (default) or the motion "
                 "within the column at its top")
      ->check(CLI::IsMember({"outcrop", "within"}));
  app.add_option("--scale-pga", scale_text,
                 "scale the record to this peak (record's unit, or name one: 0.3g)");
  app.add_option("--unit", unit_text, "unit of a pairs record: g (default), cm/s^2 or m/s^2");
  app.add_option("--format", format, "record layout; by default from the name and content")
      ->check(CLI::IsMember({"pairs", "at2", "smc"}));
  app.add_option("--fmax", fmax, "highest frequency of interest for sublayering, Hz (default 25)");
  auto* ratio_opt =
      app.add_option("--strain-ratio", ratio, "effective over peak strain (default 0.65)")
          ->check(CLI::Range(0.01, 1.0));
  auto* mag_opt =
      app.add_option("--magnitude", magnitude, "strain ratio (M - 1)/10 for magnitude M")
          ->check(CLI::Range(1.1, 10.0));
  ratio_opt->excludes(mag_opt);
  app.add_option("--tol", tol,
                 "stop when G/Gmax and damping are estimated within this relative distance of the "
                 "fixed point (default 0.001)")
      ->check(CLI::Range(1e-15, 0.5));
  app.add_option("--max-iter", max_iter, "most iterations (default 100)")
      ->check(CLI::Range(1, 100000));
  app.add_flag("--plain", plain, "plain fixed-point iteration, without Anderson mixing");
  app.add_option("--model", model,
                 "complex modulus: velocity V(1+i xi) (default), simple G(1+2i xi), unit-modulus "
                 "G(1-2xi^2+2i xi sqrt(1-xi^2))")
      ->check(CLI::IsMember({"velocity", "simple", "unit-modulus"}));
  app.add_option("--pad", pad,
                 "seconds of quiet added after the record before transforming (default 10)")
      ->check(CLI::Range(0.0, 10000.0));
  app.add_flag("--plot", plot, "also draw profile.png and spectra.png with gnuplot");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::string what = e.what();
    std::replace(what.begin(), what.end(), '\n', ' ');
    throw UsageError{what + " (korvo-eql --help lists the options)"};
  }

  for (double z : depths)
    if (!(z >= 0.0) || !std::isfinite(z))
      throw UsageError{"--at needs a finite depth of 0 or more, not " + g6(z)};
  if (!(fmax > 0.0 && fmax <= 1e6))
    throw UsageError{"--fmax needs a frequency above 0 and up to 1e6 Hz, not " + g6(fmax)};

  Options opt;
  opt.strain_ratio = *mag_opt ? (magnitude - 1.0) / 10.0 : ratio;
  opt.tol = tol;
  opt.max_iter = max_iter;
  opt.accelerate = !plain;
  opt.input = input == "within" ? InputKind::Within : InputKind::Outcrop;
  opt.modulus = model == "simple"         ? ComplexModulus::Simple
                : model == "unit-modulus" ? ComplexModulus::UnitModulus
                                          : ComplexModulus::Velocity;
  opt.pad = pad;
  if (plot && !on_path("gnuplot"))
    throw InputError{"--plot needs gnuplot on the PATH (Debian: apt-get install gnuplot-nox)"};

  // Everything is read and computed before anything is written.
  Profile profile;
  std::vector<Sublayer> subs;
  try {
    profile = read_profile(slurp(profile_path), profile_path);
    subs = divide(profile, fmax);
  } catch (const EqlError& e) {
    throw InputError{e.what()};
  }
  Input in = read_record(record_path, format, unit_text);
  if (!(in.pga > 0.0)) throw InputError{record_path + ": the record is all zeros"};
  const std::string unit = in.unit.name;
  if (!scale_text.empty()) {
    in.scale = peak_in(scale_text, in.unit) / in.pga;
    for (double& a : in.motion.a) a *= in.scale;
  }

  const Sublayer& last = subs.back();
  const double base = last.top + last.thickness;
  std::sort(depths.begin(), depths.end());
  depths.erase(std::unique(depths.begin(), depths.end()), depths.end());

  try {
    Analysis analysis(subs, profile.halfspace, in.motion, opt);
    const Result& r = analysis.run();
    const std::vector<double> surface = analysis.surface();
    std::vector<std::pair<std::string, std::vector<double>>> at;
    for (double z : depths)
      at.emplace_back("depth_" + detail::shortest(z) + ".txt",
                      analysis.acceleration_at(z * profile.length_factor));
    // 100 periods from 0.01 to 10 s, evenly spaced in log(period).
    std::vector<float> periods;
    for (int k = 0; k < 100; ++k)
      periods.push_back(static_cast<float>(0.01 * std::pow(1000.0, k / 99.0)));
    const std::vector<float> psa_in = psa(in.motion.a, in.motion.dt, periods);
    const std::vector<float> psa_out = psa(surface, in.motion.dt, periods);

    const fs::path dir(out_dir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir)) throw InputError{"cannot make the folder " + out_dir};
    write_file(dir / "surface.txt", format_history(surface, in.motion.dt));
    for (const auto& [name, a] : at) write_file(dir / name, format_history(a, in.motion.dt));
    write_file(dir / "profile.csv", format_profile(profile, subs, r, unit));
    write_file(dir / "iterations.csv", format_iterations(r));
    write_file(dir / "transfer.txt", format_transfer(analysis.transfer(), analysis.frequency_step(),
                                                     opt.input == InputKind::Within));
    write_file(dir / "spectra.txt", format_spectra(periods, psa_in, psa_out, unit));

    const std::string& lu = profile.length_unit;
    std::printf(
        "profile: %s, %zu layers in %zu sublayers over a half-space at %s %s (VS %s %s/s)\n",
        profile_path.c_str(), profile.layers.size(), subs.size(),
        g6(base / profile.length_factor).c_str(), lu.c_str(),
        g6(profile.halfspace.vs / profile.length_factor).c_str(), lu.c_str());
    std::printf(
        "record: %s, %zu samples, dt %s s, PGA %s %s%s; %s motion; transform of %d\n",
        record_path.c_str(), in.motion.a.size(), g6(in.motion.dt).c_str(),
        g6(in.pga * in.scale).c_str(), unit.c_str(),
        in.scale != 1.0 ? (" (scaled by " + g6(in.scale) + ")").c_str() : "",
        opt.input == InputKind::Within ? "within (top of the half-space)" : "outcrop (half-space)",
        analysis.transform_length());
    const IterationRow& final_row = r.rows.back();
    const std::string distance =
        final_row.distance >= 0.0 ? "within " + pct(final_row.distance) : "an unknown distance";
    std::printf(
        "iterations: %d (%s), %s: G/Gmax and damping %s of the fixed point (tolerance %s); "
        "%.3g ms per iteration\n",
        r.iterations, opt.accelerate ? "Anderson mixing" : "plain",
        r.converged ? "converged" : "NOT converged", distance.c_str(), pct(tol).c_str(),
        r.seconds / std::max(1, r.iterations) * 1e3);
    std::size_t worst = 0;
    for (std::size_t m = 0; m < subs.size(); ++m)
      if (r.strain_peak[m] > r.strain_peak[worst]) worst = m;
    double surface_pga = 0.0;
    for (double a : surface) surface_pga = std::max(surface_pga, std::fabs(a));
    std::printf(
        "surface PGA %s %s; largest peak strain %s %% at %s %s (sublayer %zu of layer '%s')\n",
        g6(surface_pga).c_str(), unit.c_str(), g6(r.strain_peak[worst]).c_str(),
        g6(subs[worst].mid / profile.length_factor).c_str(), lu.c_str(), worst + 1,
        profile.layers[static_cast<std::size_t>(subs[worst].layer)].name.c_str());
    std::printf("wrote %s: surface.txt, profile.csv, iterations.csv, transfer.txt, spectra.txt",
                dir.string().c_str());
    for (const auto& [name, a] : at) std::printf(", %s", name.c_str());
    std::printf("\n");
    if (r.ringing > 0.01)
      std::fprintf(stderr,
                   "korvo-eql: warning: the surface still rings at %.2g of its peak at the end of "
                   "the transform, which wraps onto the record's start; raise --pad\n",
                   r.ringing);
    if (!r.converged)
      std::fprintf(
          stderr,
          "korvo-eql: warning: not converged after %d iterations; the last state is written\n",
          r.iterations);
    if (plot) {
      std::fflush(stdout);
      FILE* gp = popen("gnuplot", "w");
      if (!gp) throw InputError{"cannot start gnuplot"};
      const std::string script = plot_script(dir.string(), profile, unit);
      std::fwrite(script.data(), 1, script.size(), gp);
      const int status = pclose(gp);
      if (status != 0) throw InputError{"gnuplot failed to draw the figures"};
      std::printf("drew %s/profile.png and %s/spectra.png\n", dir.string().c_str(),
                  dir.string().c_str());
    }
  } catch (const EqlError& e) {
    throw InputError{e.what()};
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "korvo-eql: %s\n", e.what.c_str());
    return 2;
  } catch (const InputError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "korvo-eql: %s\n", e.what.c_str());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "korvo-eql: not enough memory\n");
    return 1;
  }
}
