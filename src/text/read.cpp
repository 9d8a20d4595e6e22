// Input: records, layout-driven fields and free-form values.
//
// Lines of any length are read in fixed space. A layout's fields lie within
// the first RECORD_KEEP characters of a record, so a formatted read keeps those
// and passes over the rest; a free-form read streams through the record in
// chunks of RECORD_KEEP, and each value is scanned as its characters arrive.
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

#include "text/text.h"

namespace korvo {

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }
bool blank(char c) { return c == ' ' || c == '\t'; }
bool separator(char c) { return blank(c) || c == ',' || c == '/'; }

// An optional sign and decimal digits, within 32 bits, fed one character at
// a time.
struct IntScan {
  int state = 0;  // 0 start, 1 after the sign, 2 in the digits, 3 not an integer
  bool negative = false;
  long long value = 0;

  void add(char c) {
    if (state == 3) return;
    if (state == 0 && (c == '+' || c == '-')) {
      negative = c == '-';
      state = 1;
    } else if (digit(c)) {
      if (value <= 2147483648LL) value = value * 10 + (c - '0');
      state = 2;
    } else {
      state = 3;
    }
  }
  Parse finish(Integer& v) const {
    if (state != 2) return Parse::Bad;
    const long long x = negative ? -value : value;
    if (x < -2147483648LL || x > 2147483647LL) return Parse::Range;
    v = static_cast<Integer>(x);
    return Parse::Ok;
  }
};

// An optional sign, digits with an optional point, an optional exponent
// ("E", "e", "D" or "d" and a signed integer, or just a sign and an integer:
// "1.5+3" is 1500), fed one character at a time. Without a point the last d
// digits are the fraction. Converted straight from the decimal digits to the
// nearest value. Digits past KEEP cannot move the nearest double (an exact one
// has at most 767 significant digits): they count only as a power of ten and
// as one sticky non-zero digit, so a field of any length takes fixed space.
struct RealScan {
  static constexpr int KEEP = 800;
  enum State { START, MANTISSA, MARK, EXP_SIGN, EXP_DIGITS, BAD };
  State state = START;
  bool negative = false, point = false, any = false, sticky = false, below = false;
  int m = 0;         // significant digits kept
  int fraction = 0;  // kept digits after the point, leading zeros included
  long dropped = 0;  // integer digits beyond KEEP
  long exponent = 0;
  int exponent_digits = 0;
  char text[KEEP + 1 + 24];

  void add(char c) {
    switch (state) {
      case START:
        state = MANTISSA;
        if (c == '+' || c == '-') {
          negative = c == '-';
          return;
        }
        [[fallthrough]];
      case MANTISSA:
        if (digit(c)) {
          any = true;
          if (m == KEEP) {
            sticky = sticky || c != '0';
            if (!point) ++dropped;
          } else {
            if (m > 0 || c != '0') text[m++] = c;
            if (point) ++fraction;
          }
        } else if (c == '.' && !point) {
          point = true;
        } else if (any && (c == 'E' || c == 'e' || c == 'D' || c == 'd')) {
          state = MARK;
        } else if (any && (c == '+' || c == '-')) {
          below = c == '-';
          state = EXP_SIGN;
        } else {
          state = BAD;
        }
        return;
      case MARK:
        if (c == '+' || c == '-') {
          below = c == '-';
          state = EXP_SIGN;
          return;
        }
        [[fallthrough]];
      case EXP_SIGN:
      case EXP_DIGITS:
        if (!digit(c)) {
          state = BAD;
          return;
        }
        // Capped far beyond any power a Real or a double can take, and
        // beyond the digits of any line that fits in memory.
        if (exponent < 100000000000L) exponent = exponent * 10 + (c - '0');
        ++exponent_digits;
        state = EXP_DIGITS;
        return;
      case BAD:
        return;
    }
  }

  template <class T>
  Parse finish(int d, T& v) {
    if (state == BAD || !any) return Parse::Bad;
    if ((state == MARK || state == EXP_SIGN) && exponent_digits == 0) return Parse::Bad;
    const T zero = negative ? -T{0} : T{0};
    if (m == 0) {
      v = zero;
      return Parse::Ok;
    }
    long power = (below ? -exponent : exponent) - (point ? fraction : d) + dropped;
    int n = m;
    if (sticky) text[n++] = '1', --power;
    text[n] = 'e';
    const char* end = std::to_chars(text + n + 1, text + sizeof text, power).ptr;
    T f = 0;
    const auto r = std::from_chars(text, end, f, std::chars_format::scientific);
    if (r.ec == std::errc::result_out_of_range) {
      // The same code for 1e-50 (reads as zero) and 1e39 (refused): the value
      // is below 1 exactly when its digits end before the point.
      if (n + power <= 0) {
        v = zero;
        return Parse::Ok;
      }
      return Parse::Range;
    }
    if (r.ec != std::errc() || r.ptr != end) return Parse::Bad;
    v = negative ? -f : f;
    return Parse::Ok;
  }
};

template <class T>
Parse parse_whole(std::string_view s, T& v) {
  RealScan scan;
  for (char c : s) scan.add(c);
  return scan.finish(0, v);
}

// The offending text of a report: quoted, at most 40 characters, one line
// (a NUL among them would also end the report's C string).
std::string quoted(std::string_view text, long length) {
  std::string q(1, '"');
  return q.append(one_line(text.substr(0, 40))).append(length > 40 ? "...\"" : "\"");
}

[[noreturn]] void bad_value(const Source& in, const std::string& shown, Parse p, bool integer,
                            const std::string& where = "") {
  const char* what =
      integer ? (p == Parse::Range ? " is outside the range of an integer" : " is not an integer")
              : (p == Parse::Range ? " is beyond the range of a real" : " is not a number");
  input_error(in, shown + what + where);
}

// Answers from a regular file were all written before the run: nobody waits
// for a prompt to appear before answering it.
bool regular_file(std::FILE* f) {
  struct stat st;
  return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
}

int get(Source& in) {
  if (in.console) return std::getc(in.file);
  const int c = getc_unlocked(in.file);
  if (c != EOF) ++in.offset;
  return c;
}

void unget(Source& in, int c) {
  std::ungetc(c, in.file);
  --in.offset;
}

// Reads what is left of the current line into the buffer, up to RECORD_KEEP
// characters; in.more tells whether the line goes on beyond them. A line ends
// at CR, LF or CR LF.
void fill(Source& in) {
  int n = 0;
  in.more = false;
  for (;;) {
    const int c = get(in);
    if (c == EOF) {
      in.at_end = true;
      break;
    }
    if (c == '\n') break;
    if (c == '\r') {
      const int next = get(in);
      if (next != '\n' && next != EOF) unget(in, next);
      break;
    }
    in.record[n++] = static_cast<char>(c);
    if (n == RECORD_KEEP) {
      in.more = true;
      break;
    }
  }
  in.length = n;
  in.pos = 0;
}

// Passes over the rest of the current line; what is held of it stays.
void skip_rest(Source& in) {
  if (in.more) {
    for (int c; (c = get(in)) != EOF;) {
      if (c == '\n') break;
      if (c == '\r') {
        const int next = get(in);
        if (next != '\n' && next != EOF) unget(in, next);
        break;
      }
    }
    in.more = false;
  }
  in.pos = in.length;
}

// Moves to the next record; false at the end of the input. A last line
// without an end still counts.
bool next_record(Source& in) {
  skip_rest(in);
  // A prompt must be visible before the program waits for its answer (a
  // person, or a program reading the prompts through a pipe).
  if (in.console && !regular_file(in.file)) std::fflush(stdout);
  in.at_end = false;
  fill(in);
  if (in.at_end && in.length == 0) {
    if (std::ferror(in.file)) {
      ++in.line;
      input_error(in, std::string("cannot read: ") + std::strerror(errno));
    }
    return false;
  }
  ++in.line;
  return true;
}

[[noreturn]] void end_of_input(Source& in) {
  ++in.line;  // the record that is missing
  input_error(in, in.console ? "end of input" : "end of file");
}

// w characters into a text of length L: the rightmost L when w >= L, else the
// w characters and blanks.
void store_text(const char* s, int w, const Target& t) {
  char* out = static_cast<char*>(t.p);
  const int L = t.length;
  for (int k = 0; k < L; ++k) out[k] = w >= L ? s[w - L + k] : k < w ? s[k] : ' ';
}

// What the columns of a fixed field hold, quoted for a report: blanks around
// it dropped, a tab shown as \t.
std::string quoted_field(const Source& in, int first, int last) {
  std::string s;
  for (int k = first; k < last; ++k) {
    if (in.record[k] == '\t')
      s += "\\t";
    else
      s += in.record[k];
  }
  const std::string_view t = trim(s);
  return quoted(t, static_cast<long>(t.size()));
}

std::string field_place(int first, int w) {
  return " (columns " + std::to_string(first + 1) + "-" + std::to_string(first + w) + ")";
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
  const int first = in.pos;
  int last = first;
  IntScan i;
  RealScan r;
  bool empty = true;
  for (int k = 0; k < f.w && in.pos < in.length; ++k) {
    const char c = rec[in.pos++];
    if (c == ',') break;
    last = in.pos;
    if (blank(c)) continue;
    empty = false;
    if (t.kind == K::Int)
      i.add(c);
    else
      r.add(c);
  }
  if (t.kind == K::Int) {
    Integer* p = static_cast<Integer*>(t.p);
    const Parse got = empty ? (*p = 0, Parse::Ok) : i.finish(*p);
    if (got != Parse::Ok)
      bad_value(in, quoted_field(in, first, last), got, true, field_place(first, f.w));
  } else {
    Real* p = static_cast<Real*>(t.p);
    const Parse got = empty ? (*p = 0.0f, Parse::Ok) : r.finish(f.d, *p);
    if (got != Parse::Ok)
      bad_value(in, quoted_field(in, first, last), got, false, field_place(first, f.w));
  }
}

// The current character of a free-form read, streaming on within the line;
// END at the end of the line.
constexpr int END = -1;
int current(Source& in) {
  if (in.pos == in.length && in.more) fill(in);
  return in.pos < in.length ? static_cast<unsigned char>(in.record[in.pos]) : END;
}

// Moves to the next character that is not a blank or a line end; false at
// the end of the input.
bool skip_blanks(Source& in) {
  for (;;) {
    int c;
    while ((c = current(in)) != END && blank(static_cast<char>(c))) ++in.pos;
    if (c != END) return true;
    if (!next_record(in)) return false;
  }
}

// One free-form value as it streams: "r*v" (r copies of v) or "r*" (r nulls)
// or v. Scanned for each kind of variable at once; a text value keeps its
// last characters (a text variable takes the rightmost when it is shorter).
struct Value {
  static constexpr std::size_t TEXT_KEEP = 4096;
  std::string shown;  // the first 41 characters of the whole value, for reports
  long length = 0;
  long repeat = 0;  // 0: no repeat count
  bool star = false, bad_repeat = false, second_star = false;
  long value_length = 0;
  IntScan i;
  RealScan r;
  std::string text;

  void add(char c) {
    if (shown.size() < 41) shown += c;
    ++length;
    if (c == '*') {
      if (star) {
        second_star = true;
        return;
      }
      // Everything so far was the repeat count.
      star = true;
      bad_repeat = length == 1 || i.state != 2 || i.negative || shown[0] == '+';
      repeat = i.value > 1000000 ? 1000000 : static_cast<long>(i.value);
      i = IntScan{};
      r = RealScan{};
      text.clear();
      value_length = 0;
      return;
    }
    ++value_length;
    i.add(c);
    r.add(c);
    if (text.size() == TEXT_KEEP) text.erase(0, TEXT_KEEP / 2);
    text += c;
  }

  void store(const Source& in, const Target& t) {
    const std::string report = quoted(shown, length);
    switch (t.kind) {
      case Target::Kind::Int: {
        const Parse p = i.finish(*static_cast<Integer*>(t.p));
        if (p != Parse::Ok) bad_value(in, report, p, true);
        break;
      }
      case Target::Kind::Real: {
        const Parse p = r.finish(0, *static_cast<Real*>(t.p));
        if (p != Parse::Ok) bad_value(in, report, p, false);
        break;
      }
      case Target::Kind::Text:
        // A value longer than what is kept has only its rightmost characters
        // in reach, which is all a shorter variable takes.
        store_text(text.data(),
                   static_cast<int>(value_length < static_cast<long>(text.size())
                                        ? value_length
                                        : static_cast<long>(text.size())),
                   t);
        break;
    }
  }
};

// One value in full, scanned as it streams: stored in *t, or a repeat count's
// copies stored from *t on; t moves past what it filled.
void read_value(Source& in, const Target*& t, const Target* end) {
  Value v;
  for (int d; (d = current(in)) != END && !separator(static_cast<char>(d)); ++in.pos)
    v.add(static_cast<char>(d));
  if (!v.star) {
    v.store(in, *t++);
    return;
  }
  const std::string report = quoted(v.shown, v.length);
  if (v.bad_repeat) input_error(in, report + " has a repeat count that is not a number");
  if (v.repeat == 0) input_error(in, report + " has a repeat count of zero");
  if (v.second_star) input_error(in, report + " has a second repeat count");
  for (long k = 0; k < v.repeat && t != end; ++k, ++t) {
    if (v.value_length > 0) v.store(in, *t);
  }
}

// A plain number of a free-form read that ends within the held part of the
// line: a record is thousands of these.
bool plain_real(Source& in, Real& v) {
  const char* const end = plain_number(in.record + in.pos, in.record + in.length, in.more, v);
  if (end == nullptr) return false;
  in.pos = static_cast<int>(end - in.record);
  return true;
}

}  // namespace

const char* plain_number(const char* s, const char* e, bool more, Real& v) {
  const char* p = s;
  const bool negative = p < e && *p == '-';
  if (negative) ++p;
  // Up to 9 significant digits gathered as an integer, with the power of ten
  // of the last one; more leave the exact rounding to the library.
  std::uint32_t m = 0;
  int significant = 0, power = 0, digits = 0;
  auto gather = [&](bool fraction) {
    for (; p < e && digit(*p); ++p, ++digits) {
      if (significant > 0 || *p != '0') ++significant;
      if (significant <= 9) {
        m = m * 10 + static_cast<std::uint32_t>(*p - '0');
        if (fraction) --power;
      } else if (!fraction) {
        ++power;
      }
    }
  };
  gather(false);
  if (p < e && *p == '.') {
    ++p;
    gather(true);
  }
  if (digits == 0) return nullptr;
  if (p < e && (*p == 'E' || *p == 'e')) {
    ++p;
    const bool below = p < e && *p == '-';
    if (p < e && (*p == '+' || *p == '-')) ++p;
    const char* const first = p;
    int x = 0;
    for (; p < e && digit(*p); ++p)
      if (x < 100000) x = x * 10 + (*p - '0');
    if (p == first) return nullptr;
    power += below ? -x : x;
  }
  // The value must end here: at a separator, or at the true end of the line.
  if (p < e ? !separator(*p) : more) return nullptr;
  // Both the digits and the power of ten exact in a Real: one correctly
  // rounded operation gives the nearest Real (never through a double, whose
  // own rounding could move a tie).
  static constexpr Real TEN[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  Real f = 0.0f;
  if (significant <= 9 && m <= (1u << 24) && power >= -10 && power <= 10) {
    f = power < 0 ? static_cast<Real>(m) / TEN[-power] : static_cast<Real>(m) * TEN[power];
    if (negative) f = -f;
  } else {
    const auto r = std::from_chars(s, p, f, std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != p) return nullptr;
  }
  v = f;
  return p;
}

Parse parse_number(std::string_view s, Integer& v) {
  IntScan scan;
  for (char c : s) scan.add(c);
  return scan.finish(v);
}
Parse parse_number(std::string_view s, Real& v) { return parse_whole(s, v); }
Parse parse_number(std::string_view s, double& v) { return parse_whole(s, v); }

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
          if (next == targets.end()) return skip_rest(in);
          read_field(in, f, *next++);
        }
    }
  }
  // Every layout of the program has a field for each of its variables.
  if (next != targets.end()) throw Error("more variables than fields in a layout");
  skip_rest(in);
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
    if (t == targets.begin()) in.value_line = in.line;
    const int c = current(in);
    if (c == '/') {
      skip_rest(in);  // the variables left keep their values
      return true;
    }
    if (c == ',') {  // null value
      ++in.pos;
      ++t;
      continue;
    }
    if (t->kind == Target::Kind::Real && plain_real(in, *static_cast<Real*>(t->p))) {
      ++t;
    } else {
      read_value(in, t, end);
    }
    if (t == end) break;
    // Blanks, line ends and one comma between two values are one separator.
    if (!skip_blanks(in)) return ended();
    if (current(in) == ',') ++in.pos;
  }
  // The next statement starts on a new record; on the console, the next
  // question's answer.
  skip_rest(in);
  return true;
}

}  // namespace korvo
