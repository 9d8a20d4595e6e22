// korvo-record: a PEER .AT2 or USGS .smc accelerogram as korvo's `time acceleration` pairs.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "record.h"

namespace {

using namespace korvo::record;

constexpr const char* USAGE =
    "usage: korvo-record [options] RECORD\n"
    "  RECORD              a PEER NGA .AT2 file or a USGS SMC corrected accelerogram\n"
    "  -o, --output FILE   pairs file to write; default <name>_<unit>.txt here\n"
    "  --units U           convert to g, cm/s^2 or m/s^2 (default: the record's unit)\n"
    "  --scale F           multiply every sample by F after the conversion (default 1)\n"
    "  --max N             keep only the first N samples (1 to 32768); needed when the\n"
    "                      record is longer than korvo accepts\n"
    "  --format at2|smc    read this layout instead of telling it from name and content\n"
    "Writes FILE (no header, one pair per line) and FILE.note (source, unit, scale).\n"
    "Exit status: 0 done, 1 unreadable or refused record, 2 wrong command line.\n";

[[noreturn]] void usage_error(const std::string& what) {
  std::cerr << "korvo-record: " << what << "\n" << USAGE;
  std::exit(2);
}

[[noreturn]] void fail(const std::string& what) {
  std::cerr << "korvo-record: " << what << "\n";
  std::exit(1);
}

std::string read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) fail("cannot open " + name);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) fail("cannot read " + name);
  return text.str();
}

void write_file(const std::string& name, const std::string& text) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) fail("cannot write " + name);
}

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

}  // namespace

int main(int argc, char** argv) {
  std::string input, output, format_text;
  bool convert_to = false;
  Unit to_unit = Unit::G;
  double scale = 1.0;
  long max = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* option) -> std::string {
      if (i + 1 >= argc) usage_error(std::string(option) + " needs a value");
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      std::cout << USAGE;
      return 0;
    } else if (arg == "-o" || arg == "--output") {
      output = value("--output");
    } else if (arg == "--units") {
      const std::string v = value("--units");
      if (!parse_unit(v, to_unit)) usage_error("--units is g, cm/s^2 or m/s^2, not '" + v + "'");
      convert_to = true;
    } else if (arg == "--scale") {
      const std::string v = value("--scale");
      char* end = nullptr;
      scale = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !std::isfinite(scale) || scale == 0.0)
        usage_error("--scale needs a finite, non-zero number, not '" + v + "'");
    } else if (arg == "--max") {
      const std::string v = value("--max");
      char* end = nullptr;
      max = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || max < 1 || max > korvo::NMAX)
        usage_error("--max needs a whole number from 1 to " + std::to_string(korvo::NMAX));
    } else if (arg == "--format") {
      format_text = value("--format");
      if (format_text != "at2" && format_text != "smc") usage_error("--format is at2 or smc");
    } else if (!arg.empty() && arg[0] == '-') {
      usage_error("unknown option " + arg);
    } else if (input.empty()) {
      input = arg;
    } else {
      usage_error("one record at a time");
    }
  }
  if (input.empty()) usage_error("no record named");

  try {
    const std::string text = read_file(input);
    Format format;
    if (format_text == "at2")
      format = Format::At2;
    else if (format_text == "smc")
      format = Format::Smc;
    else
      format = detect_format(input, text);
    Record rec = format == Format::At2 ? read_at2(text, input) : read_smc(text, input);

    const Unit source_unit = rec.unit;
    const Unit unit = convert_to ? to_unit : rec.unit;
    convert(rec, unit, scale);

    const long total = static_cast<long>(rec.a.size());
    if (total > korvo::NMAX && max < 0)
      fail(input + ": " + std::to_string(total) + " samples, more than the " +
           std::to_string(korvo::NMAX) + " korvo accepts; --max N keeps the first N");
    const long count = max > 0 && max < total ? max : total;

    if (output.empty()) output = default_output(input, unit);
    const int decimals = detail::time_decimals(rec.dt);
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
         << "peak: " << general(peak.value) << " " << unit_name(unit) << " at "
         << fixed(static_cast<double>(peak.index) * rec.dt, decimals) << " s\n";

    write_file(output, format_pairs(rec, count));
    write_file(output + ".note", note.str());

    std::cout << output << ": " << count << " samples"
              << (count < total ? " (cut from " + std::to_string(total) + ")" : "") << ", dt "
              << fixed(rec.dt, decimals) << " s, peak " << general(peak.value) << " "
              << unit_name(unit) << " at "
              << fixed(static_cast<double>(peak.index) * rec.dt, decimals) << " s\n";
    if (output.size() > 20)
      std::cout << "note: korvo reads the first 20 characters of a record name; " << output
                << " is longer\n";
  } catch (const RecordError& e) {
    fail(e.what());
  }
  return 0;
}
