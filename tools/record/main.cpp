// korvo-record: a PEER .AT2 or USGS .smc accelerogram as korvo's `time acceleration` pairs.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "command/command.h"
#include "motion/record.h"

namespace {

using namespace korvo::record;

constexpr const char* USAGE =
    "usage: korvo-record [options] RECORD\n"
    "  RECORD              a PEER NGA .AT2 file or a USGS SMC corrected accelerogram\n"
    "  -o, --output FILE   pairs file to write; default <name>_<unit>.txt here; a name\n"
    "                      ending in .csv gets a CSV table (header time_s,accel_<unit>)\n"
    "                      for pandas and the like, which korvo itself does not read\n"
    "  --unit U            convert to g, cm/s^2 or m/s^2 (default: the record's unit)\n"
    "  --scale F           multiply every sample by F after the conversion (default 1)\n"
    "  --scale-pga A       scale the samples written to the peak A (the unit written,\n"
    "                      or named: 0.3g); not with --scale\n"
    "  --max N             keep only the first N samples (1 to 32768); needed when the\n"
    "                      record is longer than korvo accepts\n"
    "  --format at2|smc    read this layout instead of telling it from name and content\n"
    "Writes FILE (no header, one pair per line) and FILE.note (source, unit, scale).\n"
    "Exit status: 0 done, 1 unreadable or refused record, 2 wrong command line.\n";

using namespace korvo::command;

std::string fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string general(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string default_output(const std::string& input, Unit unit) {
  std::string base = input.substr(input.find_last_of('/') + 1);
  const auto dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base.erase(dot);
  return base + "_" + unit_suffix(unit) + ".txt";
}

struct Options {
  std::string input, output;
  bool convert_to = false;
  Unit to_unit = Unit::G;
  double scale = 1.0;
  std::string scale_pga;  // a target peak, read once the unit is known
  long max = -1;
  std::string format;
};

// The command line through CLI11; values are checked here with korvo's number
// reader, so that the reports name the option and the text at fault.
Options parse_command_line(int argc, char** argv) {
  Options o;
  std::string units, scale, max;
  CLI::App app("korvo-record");
  app.allow_extras();  // reported below, in korvo's words
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  // --units: the name this command had before the commands agreed on --unit.
  auto* units_opt = app.add_option("--unit,--units", units);
  auto* pga_opt = app.add_option("--scale-pga", o.scale_pga);
  auto* scale_opt = app.add_option("--scale", scale);
  auto* max_opt = app.add_option("--max", max);
  app.add_option("-o,--output", o.output);
  app.add_option("--format", o.format);
  app.add_option("RECORD", o.input);
  parse(app, argc, argv, "record");
  if (units_opt->count() > 0) {
    if (!parse_unit(units, o.to_unit))
      usage_error("--unit is g, cm/s^2 or m/s^2, not '" + units + "'");
    o.convert_to = true;
  }
  if (scale_opt->count() > 0 &&
      (korvo::parse_number(scale, o.scale) != korvo::Parse::Ok || o.scale == 0.0))
    usage_error("--scale needs a finite, non-zero number, not '" + scale + "'");
  if (pga_opt->count() > 0 && scale_opt->count() > 0)
    usage_error("--scale and --scale-pga both scale the record: give one");
  if (max_opt->count() > 0) {
    korvo::Integer n = 0;
    if (korvo::parse_number(max, n) != korvo::Parse::Ok || n < 1 || n > korvo::NMAX)
      usage_error("--max needs a whole number from 1 to " + std::to_string(korvo::NMAX));
    o.max = n;
  }
  if (!o.format.empty() && o.format != "at2" && o.format != "smc")
    usage_error("--format is at2 or smc");
  if (o.input.empty()) usage_error("no record named");
  return o;
}

void run(const Options& o) {
  const std::string& input = o.input;
  const std::string text = read_file(input);
  Format format;
  if (o.format == "at2")
    format = Format::At2;
  else if (o.format == "smc")
    format = Format::Smc;
  else
    format = detect_format(input, text);
  Record rec = format == Format::At2 ? read_at2(text, input) : read_smc(text, input);

  const Unit source_unit = rec.unit;
  const Unit unit = o.convert_to ? o.to_unit : rec.unit;
  convert(rec, unit, o.scale);

  const long total = static_cast<long>(rec.a.size());
  if (total > korvo::NMAX && o.max < 0)
    fail(input + ": " + std::to_string(total) + " samples, more than the " +
         std::to_string(korvo::NMAX) + " korvo accepts; --max N keeps the first N");
  const long count = o.max > 0 && o.max < total ? o.max : total;
  double scale = o.scale;
  if (!o.scale_pga.empty()) {
    double target = 0.0;
    try {
      target = parse_peak(o.scale_pga, unit);
    } catch (const korvo::Error& e) {
      usage_error(std::string("--scale-pga: ") + e.what());
    }
    const double peak = std::fabs(static_cast<double>(find_peak(rec.a, count).value));
    if (peak == 0.0) fail(input + ": every sample is 0; it cannot be scaled to a peak");
    scale = target / peak;
    convert(rec, unit, scale);
  }

  const std::string output = o.output.empty() ? default_output(input, unit) : o.output;
  const int decimals = time_decimals(rec.dt);
  const Peak peak = find_peak(rec.a, count);

  std::ostringstream note;
  note << "source: " << input << " (" << (rec.format == Format::At2 ? "PEER AT2" : "USGS SMC")
       << ")\n"
       << "title: " << rec.title << "\n"
       << "unit: " << unit_name(unit) << " (record in " << unit_name(source_unit)
       << (rec.unit_stated ? "" : ", assumed: the header names no unit") << ")\n"
       << "scale: " << general(scale) << "\n"
       << "samples: " << count << " of " << total << "\n"
       << "dt: " << fixed(rec.dt, decimals) << " s\n"
       << "peak: " << general(korvo::wide(peak.value)) << " " << unit_name(unit) << " at "
       << fixed(static_cast<double>(peak.index) * rec.dt, decimals) << " s\n";

  const bool csv = output.size() > 4 && output.compare(output.size() - 4, 4, ".csv") == 0;
  write_file(output, format_pairs(rec, count, csv));
  write_file(output + ".note", note.str());

  std::cout << output << ": " << count << " samples"
            << (count < total ? " (cut from " + std::to_string(total) + ")" : "") << ", dt "
            << fixed(rec.dt, decimals) << " s, peak " << general(korvo::wide(peak.value)) << " "
            << unit_name(unit) << " at "
            << fixed(static_cast<double>(peak.index) * rec.dt, decimals) << " s\n";
  if (output.size() > 20)
    std::cout << "note: korvo reads the first 20 characters of a record name; " << output
              << " is longer\n";
}

}  // namespace

int main(int argc, char** argv) {
  try {
    run(parse_command_line(argc, argv));
  } catch (const VersionAsked&) {
    std::printf("korvo-record %s\n", KORVO_VERSION);
    return 0;
  } catch (const HelpAsked&) {
    std::cout << USAGE;
  } catch (const Refusal& r) {
    std::cerr << "korvo-record: " << r.what << "\n";
    if (r.status == 2) std::cerr << USAGE;
    return r.status;
  } catch (const korvo::Error& e) {
    std::cerr << "korvo-record: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
