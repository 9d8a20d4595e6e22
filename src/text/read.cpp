// Input: records, layout-driven fields and free-form values.
#include <cerrno>
#include <charconv>
#include <cstring>

#include "text/text.h"

namespace korvo {

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }
bool blank(char c) { return c == ' ' || c == '\t'; }

// An optional sign and decimal digits, within 32 bits.
Parse parse_int_chars(const char* s, int n, Integer& v) {
  int i = 0;
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == n) return Parse::Bad;
  long long value = 0;
  for (; i < n; ++i) {
    if (!digit(s[i])) return Parse::Bad;
    if (value <= 2147483648LL) value = value * 10 + (s[i] - '0');
  }
  if (negative) value = -value;
  if (value < -2147483648LL || value > 2147483647LL) return Parse::Range;
  v = static_cast<Integer>(value);
  return Parse::Ok;
}

// An optional sign, digits with an optional point, an optional exponent
// ("E", "e", "D" or "d" and a signed integer, or just a sign and an integer:
// "1.5+3" is 1500). Without a point the last d digits are the fraction.
// Converted straight from the decimal text to the nearest value of T.
template <class T>
Parse parse_real_chars(const char* s, int n, int d, T& v) {
  int i = 0;
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  // Digits without leading zeros, then "e" and the power of ten. Digits past
  // KEEP cannot move the nearest double (an exact one has at most 767
  // significant digits): they count only as a power of ten and as one sticky
  // non-zero digit, so a field of any length converts in fixed space.
  constexpr int KEEP = 800;
  char text[KEEP + 1 + 24];
  int m = 0;
  int fraction = 0;
  long dropped = 0;  // integer digits beyond KEEP
  bool sticky = false, point = false, any = false;
  for (; i < n; ++i) {
    const char c = s[i];
    if (digit(c)) {
      any = true;
      if (m == KEEP) {
        sticky = sticky || c != '0';
        if (!point) ++dropped;
        continue;
      }
      if (m > 0 || c != '0') text[m++] = c;
      if (point) ++fraction;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) return Parse::Bad;
  long exponent = 0;
  if (i < n) {
    const char c = s[i];
    const bool letter = c == 'E' || c == 'e' || c == 'D' || c == 'd';
    if (!letter && c != '+' && c != '-') return Parse::Bad;
    if (letter) ++i;
    bool below = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) below = s[i++] == '-';
    int count = 0;
    for (; i < n && digit(s[i]); ++i, ++count) {
      if (exponent < 100000) exponent = exponent * 10 + (s[i] - '0');
    }
    if (count == 0 || i != n) return Parse::Bad;
    if (below) exponent = -exponent;
  }
  const T zero = negative ? -T{0} : T{0};
  if (m == 0) {
    v = zero;
    return Parse::Ok;
  }
  long power = exponent - (point ? fraction : d) + dropped;
  if (sticky) text[m++] = '1', --power;
  text[m] = 'e';
  auto end = std::to_chars(text + m + 1, text + sizeof text, power).ptr;
  T f = 0;
  auto r = std::from_chars(text, end, f, std::chars_format::scientific);
  if (r.ec == std::errc::result_out_of_range) {
    // The same code for 1e-50 (reads as zero) and 1e39 (refused): the value
    // is below 1 exactly when its digits end before the point.
    if (m + power <= 0) {
      v = zero;
      return Parse::Ok;
    }
    return Parse::Range;
  }
  if (r.ec != std::errc() || r.ptr != end) return Parse::Bad;
  v = negative ? -f : f;
  return Parse::Ok;
}

// Reads the next record into in.record; false at the end of the input. A
// record ends at CR, LF or CR LF; a last line without an end still counts.
bool next_record(Source& in) {
  // A prompt must be visible before the program waits for its answer.
  if (in.console) std::fflush(stdout);
  std::FILE* f = in.file;
  int n = 0;
  int c;
  while ((c = std::getc(f)) != EOF) {
    if (c == '\n') break;
    if (c == '\r') {
      const int next = std::getc(f);
      if (next != '\n' && next != EOF) std::ungetc(next, f);
      break;
    }
    if (n == RECORD_MAX) {
      ++in.line;
      input_error(in, "record longer than 4096 characters");
    }
    in.record[n++] = static_cast<char>(c);
  }
  if (c == EOF && n == 0) {
    if (std::ferror(f)) {
      ++in.line;
      char what[128];
      std::snprintf(what, sizeof what, "cannot read: %s", std::strerror(errno));
      input_error(in, what);
    }
    return false;
  }
  ++in.line;
  in.record[n] = '\0';
  in.length = n;
  in.pos = 0;
  return true;
}

[[noreturn]] void end_of_input(Source& in) {
  ++in.line;  // the record that is missing
  input_error(in, in.console ? "end of input" : "end of file");
}

// The offending text for an error report: quoted, at most 40 characters.
[[noreturn]] void bad_value(const Source& in, const char* s, int n, const char* what) {
  const std::string_view text(s, static_cast<std::size_t>(n < 40 ? n : 40));
  input_error(in, "\"" + one_line(text) + (n > 40 ? "...\" " : "\" ") + what);
}

void store_int(const Source& in, const char* s, int n, Integer* p) {
  switch (parse_int_chars(s, n, *p)) {
    case Parse::Ok:
      return;
    case Parse::Bad:
      bad_value(in, s, n, "is not an integer");
    case Parse::Range:
      bad_value(in, s, n, "is outside the range of an integer");
  }
}

void store_real(const Source& in, const char* s, int n, int d, Real* p) {
  switch (parse_real_chars(s, n, d, *p)) {
    case Parse::Ok:
      return;
    case Parse::Bad:
      bad_value(in, s, n, "is not a number");
    case Parse::Range:
      bad_value(in, s, n, "is beyond the range of a real");
  }
}

// w characters into a text of length L: the rightmost L when w >= L, else the
// w characters and blanks.
void store_text(const char* s, int w, const Target& t) {
  char* out = static_cast<char*>(t.p);
  const int L = t.length;
  for (int k = 0; k < L; ++k) out[k] = w >= L ? s[w - L + k] : k < w ? s[k] : ' ';
}

void read_field(Source& in, const LayoutItem& f, const Target& t) {
  using K = Target::Kind;
  const char* rec = in.record;
  if (f.code == 'A') {
    if (t.kind != K::Text) throw Error("layout field A given a number");
    const int w = f.w > 0 ? f.w : t.length;
    // When the line ends first, the characters present are the field.
    const int n = in.length - in.pos < w ? in.length - in.pos : w;
    store_text(rec + in.pos, n, t);
    in.pos += n;
    return;
  }
  if ((f.code == 'I') != (t.kind == K::Int) || t.kind == K::Text || f.code == 'E')
    throw Error("layout field does not match its variable");
  // Blanks and tabs anywhere in the field are ignored; a comma ends it early.
  char field[RECORD_MAX];
  int n = 0;
  for (int k = 0; k < f.w && in.pos < in.length; ++k) {
    const char c = rec[in.pos++];
    if (c == ',') break;
    if (!blank(c)) field[n++] = c;
  }
  if (t.kind == K::Int) {
    Integer* p = static_cast<Integer*>(t.p);
    if (n == 0)
      *p = 0;
    else
      store_int(in, field, n, p);
  } else {
    Real* p = static_cast<Real*>(t.p);
    if (n == 0)
      *p = 0.0f;
    else
      store_real(in, field, n, f.d, p);
  }
}

// One free-form value into one variable.
void read_value(const Source& in, const char* s, int n, const Target& t) {
  switch (t.kind) {
    case Target::Kind::Int:
      store_int(in, s, n, static_cast<Integer*>(t.p));
      break;
    case Target::Kind::Real:
      store_real(in, s, n, 0, static_cast<Real*>(t.p));
      break;
    case Target::Kind::Text:
      store_text(s, n, t);
      break;
  }
}

// Moves to the next character that is not a blank or a line end; false at
// the end of the input.
bool skip_blanks(Source& in) {
  for (;;) {
    while (in.pos < in.length && blank(in.record[in.pos])) ++in.pos;
    if (in.pos < in.length) return true;
    if (!next_record(in)) return false;
  }
}

bool separator(char c) { return blank(c) || c == ',' || c == '/'; }

}  // namespace

Parse parse_number(std::string_view s, Integer& v) {
  return parse_int_chars(s.data(), static_cast<int>(s.size()), v);
}
Parse parse_number(std::string_view s, Real& v) {
  return parse_real_chars(s.data(), static_cast<int>(s.size()), 0, v);
}
Parse parse_number(std::string_view s, double& v) {
  return parse_real_chars(s.data(), static_cast<int>(s.size()), 0, v);
}

void read_formatted(Source& in, const Layout& layout, std::initializer_list<Target> targets) {
  if (!next_record(in)) end_of_input(in);
  const Target* next = targets.begin();
  for (int k = 0; k < layout.count; ++k) {
    const LayoutItem& f = layout.item[k];
    switch (f.code) {
      case '/':
        if (!next_record(in)) end_of_input(in);
        break;
      case 'X':
        in.pos = in.length - in.pos < f.repeat ? in.length : in.pos + f.repeat;
        break;
      case '\'':
        throw Error("layout text in a read");
      default:
        for (int r = 0; r < f.repeat; ++r) {
          if (next == targets.end()) return;
          read_field(in, f, *next++);
        }
    }
  }
  // Every layout of the program has a field for each of its variables.
  if (next != targets.end()) throw Error("more variables than fields in a layout");
}

bool read_list(Source& in, std::initializer_list<Target> targets) {
  auto ended = [&in]() {
    if (in.console) end_of_input(in);
    return false;
  };
  if (!next_record(in)) return ended();
  const Target* t = targets.begin();
  const Target* const end = targets.end();
  while (t != end) {
    if (!skip_blanks(in)) return ended();
    const char* rec = in.record;
    if (rec[in.pos] == '/') {
      in.pos = in.length;  // the variables left keep their values
      return true;
    }
    if (rec[in.pos] == ',') {  // null value
      ++in.pos;
      ++t;
      continue;
    }
    const int start = in.pos;
    while (in.pos < in.length && !separator(rec[in.pos])) ++in.pos;
    const char* s = rec + start;
    const int n = in.pos - start;
    const char* star = static_cast<const char*>(std::memchr(s, '*', static_cast<std::size_t>(n)));
    if (star == nullptr) {
      read_value(in, s, n, *t++);
    } else {
      // r*v: r copies of v; r* alone: r null values.
      const int r_len = static_cast<int>(star - s);
      long r = 0;
      for (int k = 0; k < r_len; ++k) {
        if (!digit(s[k])) bad_value(in, s, n, "has a repeat count that is not a number");
        if (r < 1000000) r = r * 10 + (s[k] - '0');
      }
      if (r_len == 0) bad_value(in, s, n, "has a repeat count that is not a number");
      if (r == 0) bad_value(in, s, n, "has a repeat count of zero");
      const char* v = star + 1;
      const int v_len = n - r_len - 1;
      if (std::memchr(v, '*', static_cast<std::size_t>(v_len)) != nullptr)
        bad_value(in, s, n, "has a second repeat count");
      for (long k = 0; k < r && t != end; ++k, ++t) {
        if (v_len > 0) read_value(in, v, v_len, *t);
      }
    }
    if (t == end) break;
    // Blanks, line ends and one comma between two values are one separator.
    if (!skip_blanks(in)) return ended();
    if (in.record[in.pos] == ',') ++in.pos;
  }
  return true;
}

}  // namespace korvo
