// Acceleration records as every analysis reads them, and the one table of
// acceleration units.
//
// Three layouts are read: `time acceleration` pairs, PEER NGA `.AT2` (four
// header lines, then free values) and USGS SMC corrected accelerograms (text,
// integer and real header blocks, comment lines, then fixed-width values that
// may run together). Numbers are read as korvo reads them (D exponents,
// "1.5+3"), straight to the stored type: Real for the single-precision tools,
// double for the column engine. Every fault in a file is a korvo::Error whose
// text names the file and line; the caller decides how to end.
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

template <class T>
struct BasicRecord {
  Format format = Format::At2;
  std::vector<T> a;  // accelerations in file order, in `unit`
  double dt = 0.0;   // sample interval, s, as the header gives it
  Unit unit = Unit::G;
  bool unit_stated = true;  // false: the header names no unit and the format's usual one is assumed
  std::string title;        // first header line, trimmed
};
using Record = BasicRecord<Real>;

constexpr double GRAVITY = 9.80665;  // m/s^2, standard

// "g", "cm/s2", "cm/s^2", "gal", "m/s2", "m/s^2" (any case); false for anything else.
bool parse_unit(std::string_view text, Unit& unit);
const char* unit_name(Unit unit);    // "g", "cm/s^2", "m/s^2"
const char* unit_suffix(Unit unit);  // for file names: "g", "cms2", "ms2"
// A unit as the suffix of a CSV column's name, lower case, '/' as '_' and no
// '^': "cm/s^2" -> "cm_s2", "kN/m^3" -> "kn_m3", "m/s" -> "m_s".
std::string column_unit(std::string_view unit);
// The acceleration unit a column named `accel_<unit>` or `psa_<unit>` (as
// korvo writes them) states; false for any other name.
bool unit_of_column(std::string_view name, Unit& unit);
// Multiplier that takes a value in `from` to `to` (standard gravity 9.80665 m/s^2).
double unit_factor(Unit from, Unit to);
// A peak acceleration, "0.3", "0.3g", "294 cm/s^2": in `record_unit` unless
// one is named; returned in `record_unit`. Throws unless positive and finite.
double parse_peak(std::string_view text, Unit record_unit);

// By extension (.at2, .smc, any case), else by content; throws when neither tells.
Format detect_format(std::string_view name, std::string_view text);
// `name` only labels the error reports. T is Real or double.
template <class T = Real>
BasicRecord<T> read_at2(std::string_view text, std::string_view name);
template <class T = Real>
BasicRecord<T> read_smc(std::string_view text, std::string_view name);

// Lines of `time value` (more columns are ignored; '#' starts a comment; blank
// lines are skipped). dt is the mean spacing of the first and last times;
// every time must lie within a quarter step (or half a unit of its last
// written decimal, when that is more) of its place on that grid, so gaps and
// reordered lines are faults. `dt_override` > 0 skips that check and is used
// instead. T is Real or double.
//
// A first line of names and no numbers is a CSV header row (`time_s,accel_g`,
// as korvo-site writes its histories): it is skipped and kept in `header`.
template <class T>
struct Pairs {
  std::vector<T> a;
  double dt = 0.0;
  std::string header;  // the header row's second name, e.g. "accel_g"; empty when none
};
template <class T>
Pairs<T> read_pairs(std::string_view text, std::string_view name, double dt_override = 0.0);

// Any of the three layouts, in double, for the analyses that work in double.
enum class Layout { Detect, Pairs, At2, Smc };
struct Accelerogram {
  Layout layout = Layout::Pairs;  // as read
  std::vector<double> a;          // in `unit`
  double dt = 0.0;                // s
  Unit unit = Unit::G;            // a pairs file states none (g until the caller says)
  bool unit_stated = false;       // unless its CSV header row names it: accel_cm_s2
  std::string title;
};
// Detect: AT2 or SMC by name or content, else pairs.
Accelerogram read_accelerogram(std::string_view text, std::string_view name,
                               Layout layout = Layout::Detect);

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
// csv: the same numbers as a table for pandas, a header row
// `time_s,accel_<unit>` and commas; korvo itself reads only the plain pairs.
std::string format_pairs(const Record& rec, long count, bool csv = false);
// Fewest decimals (0 to 9) that write dt exactly; 9 when none do.
int time_decimals(double dt);

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
}  // namespace detail

}  // namespace korvo::record
