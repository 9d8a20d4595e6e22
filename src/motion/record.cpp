#include "motion/record.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <type_traits>

namespace korvo::record {

namespace {

[[noreturn]] void fail(std::string_view name, long line, std::string_view what) {
  throw korvo::Error(where(name, line) + ": " + std::string(what));
}

template <class T>
constexpr const char* too_large = std::is_same_v<T, Real> ? " is too large for single precision"
                                                          : " is too large for double precision";

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

// Any white space around a header field.
std::string_view trim(std::string_view s) { return korvo::trim(s, " \t\r\f\v"); }

std::string upper(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

// Lines without their ends; a CR before the LF (or a lone CR) is dropped.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// Length of the longest number at the start of s (0 when none). An exponent
// letter belongs to the number only when digits follow it, so "0100SEC" is 4.
std::size_t number_length(std::string_view s) {
  std::size_t i = 0, mantissa = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && digit(s[i])) ++i, ++mantissa;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && digit(s[i])) ++i, ++mantissa;
  }
  if (mantissa == 0) return 0;
  if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
    std::size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    if (j < s.size() && digit(s[j])) {
      while (j < s.size() && digit(s[j])) ++j;
      i = j;
    }
  }
  return i;
}

// A Real that holds the value, or false when the value is beyond a Real's range.
bool to_real(double v, Real& r) {
  if (!std::isfinite(v) || std::fabs(v) > static_cast<double>(FLT_MAX)) return false;
  r = static_cast<Real>(v);
  return true;
}

void check_kind(std::string_view name, const std::vector<std::string_view>& lines, int count) {
  for (int k = 0; k < count && k < static_cast<int>(lines.size()); ++k) {
    const std::string u = upper(lines[k]);
    if (u.find("VELOCITY") != std::string::npos || u.find("DISPLACEMENT") != std::string::npos)
      fail(name, k + 1,
           "the header describes a velocity or displacement history, not acceleration");
  }
}

// The unit named after the word UNITS, e.g. "IN UNITS OF G." or "The units are (g)".
bool unit_after_units(std::string_view line, Unit& unit, bool& found) {
  const std::string u = upper(line);
  const auto at = u.find("UNITS");
  found = at != std::string::npos;
  if (!found) return true;
  std::size_t i = at + 5;
  for (;;) {
    while (i < u.size() && !std::isalnum(static_cast<unsigned char>(u[i]))) ++i;
    std::size_t j = i;
    while (j < u.size() && (std::isalnum(static_cast<unsigned char>(u[j])) || u[j] == '/' ||
                            u[j] == '^' || u[j] == '*'))
      ++j;
    const std::string word = u.substr(i, j - i);
    if (word == "OF" || word == "ARE" || word == "IN" || word == "IS") {
      i = j;
      continue;
    }
    if (word == "G") {
      unit = Unit::G;
      return true;
    }
    if (word.rfind("CM/S", 0) == 0 || word == "GAL" || word == "GALS") {
      unit = Unit::CmS2;
      return true;
    }
    if (word.rfind("M/S", 0) == 0) {
      unit = Unit::MS2;
      return true;
    }
    return false;
  }
}

// "NPTS=  4000, DT= .01000 SEC" or "4096    0.0100    NPTS, DT".
void read_npts_dt(std::string_view name, std::string_view line, long& npts, double& dt) {
  const std::string u = upper(line);
  const auto key = u.find("NPTS");
  if (key == std::string::npos) fail(name, 4, "no NPTS and DT in this header line");
  std::size_t i = key + 4;
  while (i < u.size() && blank(u[i])) ++i;
  std::string_view npts_text, dt_text;
  if (i < u.size() && u[i] == '=') {
    ++i;
    while (i < u.size() && blank(u[i])) ++i;
    std::size_t j = i;
    while (j < u.size() && digit(u[j])) ++j;
    npts_text = line.substr(i, j - i);
    const auto dt_key = u.find("DT", j);
    if (dt_key == std::string::npos) fail(name, 4, "no DT after NPTS in this header line");
    i = dt_key + 2;
    while (i < u.size() && blank(u[i])) ++i;
    if (i < u.size() && u[i] == '=') ++i;
    while (i < u.size() && blank(u[i])) ++i;
    dt_text = line.substr(i, number_length(line.substr(i)));
  } else {
    std::size_t p = 0;
    while (p < line.size() && blank(line[p])) ++p;
    std::size_t q = p;
    while (q < line.size() && digit(line[q])) ++q;
    npts_text = line.substr(p, q - p);
    while (q < line.size() && blank(line[q])) ++q;
    dt_text = line.substr(q, number_length(line.substr(q)));
  }
  Integer n = 0;
  const Parse got = parse_number(npts_text, n);
  if (got == Parse::Range) fail(name, 4, "NPTS is beyond the range of an integer");
  if (got != Parse::Ok) fail(name, 4, "NPTS is not a whole number");
  if (n < 1) fail(name, 4, "NPTS must be at least 1");
  double d = 0.0;
  if (parse_number(dt_text, d) != Parse::Ok) fail(name, 4, "DT is not a number");
  if (!(d > 0.0) || !std::isfinite(d)) fail(name, 4, "DT must be positive");
  npts = n;
  dt = d;
}

// Appends the values of data lines from `first` (0-based) until `npts` are
// read; a line that would go past npts, text after the data or an early end
// is a fault. `fixed_width` > 0 tries fixed fields before free scanning.
template <class T>
void read_data(std::string_view name, const std::vector<std::string_view>& lines, std::size_t first,
               long npts, int fixed_width, std::vector<T>& a) {
  // NPTS is only a claim: reserve no more than the lines left could hold.
  const std::size_t room = (lines.size() - std::min(first, lines.size())) * 16;
  a.reserve(std::min(static_cast<std::size_t>(npts), room));
  std::vector<T> values;
  std::size_t k = first;
  for (; k < lines.size(); ++k) {
    const long line_no = static_cast<long>(k) + 1;
    values.clear();
    int bad = 0;
    Parse got = Parse::Bad;
    if (fixed_width > 0) got = detail::scan_fixed(lines[k], fixed_width, values, bad);
    if (got == Parse::Bad) {
      values.clear();
      got = detail::scan_free(lines[k], values, bad);
    }
    if (got != Parse::Ok) {
      const std::size_t from = static_cast<std::size_t>(bad) - 1;
      std::size_t end = from;
      while (end < lines[k].size() && !blank(lines[k][end])) ++end;
      fail(name, line_no,
           "column " + std::to_string(bad) + ": " + quote(lines[k].substr(from, end - from)) +
               (got == Parse::Range ? too_large<T> : " is not a number"));
    }
    for (T v : values) {
      if (static_cast<long>(a.size()) == npts)
        fail(name, line_no,
             "more data than the " + std::to_string(npts) + " samples the header announces");
      a.push_back(v);
    }
  }
  if (static_cast<long>(a.size()) < npts)
    fail(name, static_cast<long>(lines.size()),
         "the file ends after " + std::to_string(a.size()) + " of the " + std::to_string(npts) +
             " samples the header announces");
}

}  // namespace

namespace detail {

template <class T>
Parse scan_free(std::string_view line, std::vector<T>& out, int& bad_column) {
  std::size_t i = 0;
  while (i < line.size()) {
    if (blank(line[i]) || line[i] == ',') {
      ++i;
      continue;
    }
    const std::size_t n = number_length(line.substr(i));
    const std::size_t next = i + n;
    // A number must end at a separator, at the line's end or where the next one's sign starts.
    const bool ends = next == line.size() || blank(line[next]) || line[next] == ',' ||
                      line[next] == '+' || line[next] == '-';
    T v{};
    const Parse got = n == 0 || !ends ? Parse::Bad : parse_number(line.substr(i, n), v);
    if (got != Parse::Ok) {
      bad_column = static_cast<int>(i) + 1;
      return got;
    }
    out.push_back(v);
    i = next;
  }
  return Parse::Ok;
}

template <class T>
Parse scan_fixed(std::string_view line, int width, std::vector<T>& out, int& bad_column) {
  const std::size_t w = static_cast<std::size_t>(width);
  bool gap = false;
  std::size_t gap_at = 0;
  for (std::size_t i = 0; i < line.size(); i += w) {
    const std::string_view field = trim(line.substr(i, w));
    if (field.empty()) {
      if (!gap) gap_at = i;
      gap = true;
      continue;
    }
    if (gap) {
      bad_column = static_cast<int>(gap_at) + 1;
      return Parse::Bad;
    }
    T v{};
    const Parse got = parse_number(field, v);
    if (got != Parse::Ok) {
      bad_column = static_cast<int>(i) + 1;
      return got;
    }
    out.push_back(v);
  }
  return Parse::Ok;
}

template Parse scan_free(std::string_view, std::vector<Integer>&, int&);
template Parse scan_free(std::string_view, std::vector<Real>&, int&);
template Parse scan_free(std::string_view, std::vector<double>&, int&);
template Parse scan_fixed(std::string_view, int, std::vector<Integer>&, int&);
template Parse scan_fixed(std::string_view, int, std::vector<Real>&, int&);
template Parse scan_fixed(std::string_view, int, std::vector<double>&, int&);

}  // namespace detail

int time_decimals(double dt) {
  double scaled = dt;
  for (int d = 0; d <= 9; ++d, scaled *= 10.0) {
    // Relative to the step: 1e-12 s is no whole number of seconds.
    const double whole = std::round(scaled);
    if (whole != 0.0 && std::fabs(scaled - whole) <= 1e-9 * std::fmax(1.0, scaled)) return d;
  }
  return 9;
}

bool parse_unit(std::string_view text, Unit& unit) {
  const std::string u = upper(trim(text));
  if (u == "G") {
    unit = Unit::G;
  } else if (u == "CM/S2" || u == "CM/S^2" || u == "GAL") {
    unit = Unit::CmS2;
  } else if (u == "M/S2" || u == "M/S^2") {
    unit = Unit::MS2;
  } else {
    return false;
  }
  return true;
}

const char* unit_name(Unit unit) {
  switch (unit) {
    case Unit::G:
      return "g";
    case Unit::CmS2:
      return "cm/s^2";
    case Unit::MS2:
      return "m/s^2";
  }
  return "";
}

const char* unit_suffix(Unit unit) {
  switch (unit) {
    case Unit::G:
      return "g";
    case Unit::CmS2:
      return "cms2";
    case Unit::MS2:
      return "ms2";
  }
  return "";
}

std::string column_unit(std::string_view unit) {
  std::string out;
  for (char c : unit) {
    if (c == '^') continue;
    out += c == '/' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

bool unit_of_column(std::string_view name, Unit& unit) {
  const auto cut = name.find('_');
  if (cut == std::string_view::npos) return false;
  const std::string_view what = name.substr(0, cut), tail = name.substr(cut + 1);
  if (what != "accel" && what != "psa") return false;
  for (Unit u : {Unit::G, Unit::CmS2, Unit::MS2}) {
    if (tail == column_unit(unit_name(u))) {
      unit = u;
      return true;
    }
  }
  return false;
}

double unit_factor(Unit from, Unit to) {
  // Each pair written out so that no factor carries a division's rounding twice.
  if (from == to) return 1.0;
  if (from == Unit::G) return to == Unit::MS2 ? GRAVITY : 980.665;
  if (from == Unit::MS2) return to == Unit::CmS2 ? 100.0 : 1.0 / GRAVITY;
  return to == Unit::MS2 ? 0.01 : 1.0 / 980.665;
}

Format detect_format(std::string_view name, std::string_view text) {
  const auto dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    const std::string ext = upper(name.substr(dot + 1));
    if (ext == "AT2") return Format::At2;
    if (ext == "SMC") return Format::Smc;
  }
  const auto lines = split_lines(text);
  for (std::size_t k = 0; k < lines.size() && k < 4; ++k)
    if (upper(lines[k]).find("NPTS") != std::string::npos) return Format::At2;
  if (!lines.empty()) {
    const std::string_view first = trim(lines[0]);
    if (first.size() > 2 && digit(first[0]) && first[1] == ' ' &&
        upper(first).find("ACCELEROGRAM") != std::string::npos)
      return Format::Smc;
  }
  fail(name, 0, "neither an AT2 nor an SMC record (name the format with --format)");
}

template <class T>
BasicRecord<T> read_at2(std::string_view text, std::string_view name) {
  const auto lines = split_lines(text);
  if (lines.size() < 4)
    fail(name, static_cast<long>(lines.size()), "the file ends within the four header lines");
  BasicRecord<T> rec;
  rec.format = Format::At2;
  rec.title = std::string(trim(lines[0]));
  check_kind(name, lines, 3);
  rec.unit = Unit::G;
  rec.unit_stated = false;
  for (int k = 0; k < 3; ++k) {
    bool found = false;
    if (!unit_after_units(lines[k], rec.unit, found))
      fail(name, k + 1, "the unit named after UNITS is not g, cm/s^2 or m/s^2");
    if (found) {
      rec.unit_stated = true;
      break;
    }
  }
  long npts = 0;
  read_npts_dt(name, lines[3], npts, rec.dt);
  read_data(name, lines, 4, npts, 0, rec.a);
  return rec;
}

template <class T>
BasicRecord<T> read_smc(std::string_view text, std::string_view name) {
  const auto lines = split_lines(text);
  constexpr std::size_t TEXT_LINES = 11, INT_LINES = 6, REAL_LINES = 10;
  constexpr std::size_t HEADER = TEXT_LINES + INT_LINES + REAL_LINES;
  if (lines.size() < HEADER)
    fail(name, static_cast<long>(lines.size()), "the file ends within the 27 header lines");
  BasicRecord<T> rec;
  rec.format = Format::Smc;
  rec.title = std::string(trim(lines[0]));
  const std::string_view first = trim(lines[0]);
  if (first.empty() || first[0] != '2' || (first.size() > 1 && !blank(first[1])))
    fail(name, 1, "not a corrected accelerogram (the data type must be 2)");

  // Integer block 8I10, real block 5E15.7; both read as fixed fields.
  auto block = [&]<class V>(std::vector<V>& v, std::size_t from, std::size_t count, int width,
                            std::size_t per_line) {
    for (std::size_t k = from; k < from + count; ++k) {
      const std::size_t before = v.size();
      int bad = 0;
      if (detail::scan_fixed(lines[k], width, v, bad) != Parse::Ok || v.size() - before != per_line)
        fail(name, static_cast<long>(k) + 1,
             "expected " + std::to_string(per_line) + " header values of width " +
                 std::to_string(width));
    }
  };
  std::vector<Integer> ints;
  std::vector<double> reals;
  block(ints, TEXT_LINES, INT_LINES, 10, 8);
  block(reals, TEXT_LINES + INT_LINES, REAL_LINES, 15, 5);

  // -32768 marks an empty integer slot. Integer 16 counts the comment lines,
  // integer 17 the samples: both on lines 13 and 14.
  const Integer comments = ints[15], npts = ints[16];
  if (comments < 0) fail(name, 13, "the integer header gives no number of comment lines");
  if (npts < 1) fail(name, 14, "the integer header gives no number of samples");
  // Real 2 is the sampling rate in samples per second; 1.7E+38 marks an empty slot.
  const double sps = reals[1];
  if (!(sps > 0.0) || sps >= 1.0e38)
    fail(name, static_cast<long>(TEXT_LINES + INT_LINES) + 1,
         "the real header gives no sampling rate");
  rec.dt = 1.0 / sps;
  rec.unit = Unit::CmS2;
  rec.unit_stated = true;

  const std::size_t n_comments = static_cast<std::size_t>(comments);
  for (std::size_t c = 0; c < n_comments; ++c) {
    const std::size_t k = HEADER + c;
    if (k >= lines.size())
      fail(name, static_cast<long>(lines.size()),
           "the file ends within the " + std::to_string(n_comments) + " comment lines");
    if (lines[k].empty() || lines[k][0] != '|')
      fail(name, static_cast<long>(k) + 1,
           "expected comment line " + std::to_string(c + 1) + " of " + std::to_string(n_comments) +
               " (starting with '|')");
  }
  read_data(name, lines, HEADER + n_comments, static_cast<long>(npts), 10, rec.a);
  return rec;
}

template BasicRecord<Real> read_at2(std::string_view, std::string_view);
template BasicRecord<double> read_at2(std::string_view, std::string_view);
template BasicRecord<Real> read_smc(std::string_view, std::string_view);
template BasicRecord<double> read_smc(std::string_view, std::string_view);

Peak find_peak(const std::vector<Real>& a, long count) {
  Peak p;
  for (long i = 0; i < count && i < static_cast<long>(a.size()); ++i) {
    if (std::fabs(a[static_cast<std::size_t>(i)]) > std::fabs(p.value)) {
      p.index = i;
      p.value = a[static_cast<std::size_t>(i)];
    }
  }
  return p;
}

void convert(Record& rec, Unit to, double scale) {
  const double factor = unit_factor(rec.unit, to) * scale;
  for (std::size_t i = 0; i < rec.a.size(); ++i) {
    if (!to_real(static_cast<double>(rec.a[i]) * factor, rec.a[i]))
      throw korvo::Error("sample " + std::to_string(i + 1) +
                         " is too large for single precision after scaling");
  }
  rec.unit = to;
}

std::string format_pairs(const Record& rec, long count, bool csv) {
  const int decimals = time_decimals(rec.dt);
  std::string out;
  out.reserve(static_cast<std::size_t>(count) * 24);
  if (csv) out += "time_s,accel_" + column_unit(unit_name(rec.unit)) + "\n";
  char buf[64];
  for (long i = 0; i < count; ++i) {
    int n = std::snprintf(buf, sizeof buf, csv ? "%.*f," : "%.*f ", decimals,
                          static_cast<double>(i) * rec.dt);
    const auto r = std::to_chars(buf + n, buf + sizeof buf - 1, rec.a[static_cast<std::size_t>(i)]);
    *r.ptr = '\n';
    out.append(buf, static_cast<std::size_t>(r.ptr + 1 - buf));
  }
  return out;
}

namespace {

// Decimals written after the point; 0 with an exponent, which a sign after the
// first character also starts ("1.5+3").
int decimals_of(std::string_view token) {
  const auto dot = token.find('.');
  if (dot == std::string_view::npos || token.find_first_of("EeDd") != std::string_view::npos ||
      token.find_first_of("+-", 1) != std::string_view::npos)
    return 0;
  return static_cast<int>(token.size() - dot - 1);
}

}  // namespace

template <class T>
Pairs<T> read_pairs(std::string_view text, std::string_view name, double dt_override) {
  Pairs<T> p;
  std::vector<double> times;
  std::vector<long> line_of;
  int decimals = 0;
  long line_no = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++line_no;
    line = line.substr(0, line.find('#'));
    std::string_view tokens[2];
    int n = 0;
    std::size_t i = 0;
    while (i < line.size() && n < 2) {
      if (blank(line[i]) || line[i] == ',') {
        ++i;
        continue;
      }
      std::size_t j = i;
      while (j < line.size() && !blank(line[j]) && line[j] != ',') ++j;
      tokens[n++] = line.substr(i, j - i);
      i = j;
    }
    if (n == 0) continue;
    // Names where the first numbers would be: a header row, only as the first line.
    const bool named = n == 2 && times.empty() && p.header.empty() &&
                       std::isalpha(static_cast<unsigned char>(tokens[0][0])) &&
                       std::isalpha(static_cast<unsigned char>(tokens[1][0]));
    if (named) {
      p.header = tokens[1];
      continue;
    }
    if (n < 2) fail(name, line_no, "expected a time and a value");
    // Times as doubles (dt comes from them), values straight to T.
    double t = 0.0;
    T a = 0;
    if (parse_number(tokens[0], t) != Parse::Ok || !std::isfinite(t))
      fail(name, line_no, quote(tokens[0]) + " is not a time");
    switch (parse_number(tokens[1], a)) {
      case Parse::Ok:
        break;
      case Parse::Bad:
        fail(name, line_no, quote(tokens[1]) + " is not a number");
      case Parse::Range:
        fail(name, line_no, quote(tokens[1]) + too_large<T>);
    }
    times.push_back(t);
    line_of.push_back(line_no);
    p.a.push_back(a);
    decimals = std::max(decimals, decimals_of(tokens[0]));
  }
  const std::size_t count = p.a.size();
  if (count < 2) fail(name, line_no, "a history needs at least two samples");
  if (dt_override > 0.0) {
    p.dt = dt_override;
    return p;
  }
  const double dt = (times.back() - times.front()) / static_cast<double>(count - 1);
  if (!(dt > 0.0) || !std::isfinite(dt)) fail(name, line_of.back(), "the times do not increase");
  const double tolerance = std::fmax(0.25 * dt, 0.5001 * std::pow(10.0, -decimals));
  for (std::size_t k = 0; k < count; ++k) {
    const double expected = times.front() + static_cast<double>(k) * dt;
    if (std::fabs(times[k] - expected) <= tolerance) continue;
    // Off the grid; blame the first step that is far from dt, which is where
    // a gap or a swap is, rather than where the drift became visible.
    std::size_t at = k;
    for (std::size_t j = 1; j < count; ++j) {
      if (std::fabs(times[j] - times[j - 1] - dt) > 0.5 * dt) {
        at = j;
        break;
      }
    }
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "time %g breaks the even spacing (step %g s): a missing, repeated or "
                  "misplaced sample",
                  times[at], dt);
    fail(name, line_of[at], buf);
  }
  p.dt = dt;
  return p;
}

template Pairs<Real> read_pairs(std::string_view, std::string_view, double);
template Pairs<double> read_pairs(std::string_view, std::string_view, double);

Accelerogram read_accelerogram(std::string_view text, std::string_view name, Layout layout) {
  if (layout == Layout::Detect) {
    try {
      layout = detect_format(name, text) == Format::At2 ? Layout::At2 : Layout::Smc;
    } catch (const korvo::Error&) {
      layout = Layout::Pairs;
    }
  }
  Accelerogram r;
  r.layout = layout;
  if (layout == Layout::Pairs) {
    Pairs<double> p = read_pairs<double>(text, name);
    r.a = std::move(p.a);
    r.dt = p.dt;
    // A header row `time_s,accel_cm_s2` (korvo-site's histories) states the unit.
    r.unit_stated = unit_of_column(p.header, r.unit);
    return r;
  }
  BasicRecord<double> rec =
      layout == Layout::At2 ? read_at2<double>(text, name) : read_smc<double>(text, name);
  r.a = std::move(rec.a);
  r.dt = rec.dt;
  r.unit = rec.unit;
  r.unit_stated = rec.unit_stated;
  r.title = std::move(rec.title);
  return r;
}

double parse_peak(std::string_view text, Unit record_unit) {
  const std::string_view t = trim(text);
  std::size_t n = number_length(t);
  double v = 0.0;
  if (n == 0 || parse_number(t.substr(0, n), v) != Parse::Ok || !(v > 0.0) || !std::isfinite(v))
    throw korvo::Error(
        "a peak is a positive number, optionally with a unit (0.3g, 294cm/s^2), not " +
        quote(text));
  const std::string_view rest = trim(t.substr(n));
  if (rest.empty()) return v;
  Unit u{};
  if (!parse_unit(rest, u))
    throw korvo::Error("unknown unit " + quote(rest) + " (g, cm/s^2, m/s^2)");
  return v * unit_factor(u, record_unit);
}

}  // namespace korvo::record
