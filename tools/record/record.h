// Strong-motion record files turned into korvo's `time acceleration` pairs.
//
// Two source layouts are read: PEER NGA `.AT2` (four header lines, then free
// values) and USGS SMC corrected accelerograms (text, integer and real header
// blocks, comment lines, then fixed-width values that may run together).
// Every fault in a file is reported as a RecordError whose text names the file
// and line; the caller decides how to end.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "korvo.h"
#include "text/text.h"

namespace korvo::record {

enum class Format { At2, Smc };
enum class Unit { G, CmS2, MS2 };

struct RecordError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Record {
  Format format = Format::At2;
  std::vector<Real> a;  // accelerations in file order, in `unit`
  double dt = 0.0;      // sample interval, s, as the header gives it
  Unit unit = Unit::G;
  bool unit_stated = true;  // false: the header names no unit and the format's usual one is assumed
  std::string title;        // first header line, trimmed
};

// "g", "cm/s2", "cm/s^2", "gal", "m/s2", "m/s^2" (any case); false for anything else.
bool parse_unit(std::string_view text, Unit& unit);
const char* unit_name(Unit unit);    // "g", "cm/s^2", "m/s^2"
const char* unit_suffix(Unit unit);  // for file names: "g", "cms2", "ms2"
// Multiplier that takes a value in `from` to `to` (standard gravity 9.80665 m/s^2).
double unit_factor(Unit from, Unit to);

// By extension (.at2, .smc, any case), else by content; throws when neither tells.
Format detect_format(std::string_view name, std::string_view text);
// `name` only labels the error reports.
Record read_at2(std::string_view text, std::string_view name);
Record read_smc(std::string_view text, std::string_view name);

struct Peak {
  long index = 0;  // 0-based sample of the largest |a| (the first one on ties)
  Real value = 0.0f;
};
Peak find_peak(const std::vector<Real>& a, long count);

// Converts every sample to `to` and multiplies it by `scale`: one product in
// double, rounded once to a Real. Throws when a result is not a finite Real.
void convert(Record& rec, Unit to, double scale);

// The pairs korvo reads: "t a" per line, LF ends, no header. Times are exact
// multiples of dt written with the fewest decimals that hold dt (at most 9);
// accelerations are the shortest text that reads back as the same Real.
std::string format_pairs(const Record& rec, long count);

namespace detail {
// The scanners split a line into fields; each field is converted by
// korvo::parse_number to T (Integer, Real or double). They return Ok, or Bad
// (not a number) or Range (beyond T) with the 1-based column of the field.
//
// Values separated by blanks, tabs or commas, or running together where the
// next value starts with a sign ("-1.6646E-2-1.2E-3" holds two).
template <class T>
Parse scan_free(std::string_view line, std::vector<T>& out, int& bad_column);
// Fields of `width` characters, blanks around a value allowed; the line may
// end early. A blank field before a filled one is Bad. Within its columns a
// field is one number, so a Fortran exponent without its letter reads:
// "1.2345-100" is 1.2345E-100.
template <class T>
Parse scan_fixed(std::string_view line, int width, std::vector<T>& out, int& bad_column);
// Fewest decimals (0 to 9) that write dt exactly; 9 when none do.
int time_decimals(double dt);
}  // namespace detail

}  // namespace korvo::record
