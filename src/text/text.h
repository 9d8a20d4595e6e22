// Numeric text fields: every character korvo reads or writes passes here.
//
// Two mechanisms: records laid out by a layout ("(F8.4,6E12.4)", "(6F8.0)",
// ...), compiled once, and free-form lines (values separated by blanks, commas
// or line ends on input; right-justified fields of fixed width per type on
// output).
//
// Records: a record written to a file ends with CR LF. A record written to the
// console begins with a carriage-control character that the console does not
// show: the console receives the record without its first character, then LF.
// On input a record ends at CR, LF or CR LF.
//
// Failures throw korvo::Error with one line naming the file and line (or the
// console question): a field that is not a number, the end of the console
// input, a missing input file, an output file that cannot be written. Records
// reach a file whole (its buffer holds whole records only, and is written out
// when the sink goes away), so a file left by a failed run holds complete
// records only.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "korvo.h"

namespace korvo {

// Characters of an input record held at once: a formatted read uses the
// first RECORD_KEEP and passes over the rest; a free-form read streams on.
constexpr int RECORD_KEEP = 4096;

// An output file or the console. A file is closed (and flushed) by
// close_output, which reports a failed write; one still open when its owner
// goes away (a run ending with an error) is closed quietly, so that the records
// written reach the file before the report.
//
// A file from create_output keeps whole records in a buffer of its own and
// hands them to the system SINK_BUFFER bytes at a time, never part of a
// record; a sink made around an open FILE writes each record as it ends.
struct Sink {
  std::FILE* file = nullptr;
  const char* name = "";  // for error reports; must outlive the sink
  bool console = false;
  std::unique_ptr<char[]> buffer;  // null: unbuffered
  int size = 0;                    // of buffer
  int held = 0;                    // bytes of whole records in buffer
  long long written = 0;           // bytes of whole records the file holds

  Sink() = default;
  Sink(std::FILE* f, const char* n, bool con) : file(f), name(n), console(con) {}
  Sink(Sink&& o) noexcept
      : file(o.file),
        name(o.name),
        console(o.console),
        buffer(std::move(o.buffer)),
        size(o.size),
        held(o.held),
        written(o.written) {
    o.file = nullptr;
  }
  Sink& operator=(Sink&&) = delete;
  ~Sink();
};
constexpr int SINK_BUFFER = 1 << 15;

// An input file, or one question's answer on the console. Files are closed
// when the source goes away.
struct Source {
  std::FILE* file = nullptr;
  const char* name = "";  // file name; for the console, the question being answered
  bool console = false;
  long line = 0;        // number of the record last read (1-based), 0 before the first
  long value_line = 0;  // the record where the last free-form statement's first value began
  // The current record (or the part of it held) and the read position in it.
  char record[RECORD_KEEP] = {};
  int length = 0;
  int pos = 0;
  bool more = false;    // the record goes on beyond what is held
  bool at_end = false;  // the end of the input was met
  long offset = 0;      // bytes of a file read so far: where its next record begins

  Source() = default;
  Source(Source&& o) noexcept;
  Source& operator=(Source&&) = delete;
  ~Source();
};

// One item of a layout, repeat count kept: code 'F', 'E', 'I', 'A' (w = 0:
// the variable's length), 'X' (repeat = blanks), '/' or '\'' (text as written
// between the apostrophes, a doubled apostrophe standing for one).
struct LayoutItem {
  char code = '/';
  int repeat = 1;
  int w = 0;
  int d = 0;
  std::string_view text;
};

// Widest numeric field of a layout.
constexpr int FIELD_MAX = 120;

// A layout compiled from its text, at compile time: "(F8.4,6E12.4)".
struct Layout {
  static constexpr int MAX = 8;
  LayoutItem item[MAX];
  int count = 0;
};

namespace detail {
consteval int layout_number(std::string_view s, std::size_t& i) {
  int value = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') value = value * 10 + (s[i++] - '0');
  return value;
}
}  // namespace detail

// A malformed layout does not compile (the throw is not a constant expression).
consteval Layout layout(std::string_view s) {
  Layout L;
  std::size_t i = 0;
  auto bad = [] { throw "malformed layout"; };
  if (s.empty() || s[i++] != '(') bad();
  for (;;) {
    while (i < s.size() && (s[i] == ' ' || s[i] == ',')) ++i;
    if (i == s.size()) bad();
    if (s[i] == ')') break;
    if (L.count == Layout::MAX) bad();
    LayoutItem& it = L.item[L.count++];
    if (s[i] == '/') {
      ++i;
      continue;
    }
    if (s[i] == '\'') {
      const std::size_t start = ++i;
      for (;; ++i) {
        if (i == s.size()) bad();
        if (s[i] != '\'') continue;
        if (i + 1 < s.size() && s[i + 1] == '\'') {
          ++i;
          continue;
        }
        break;
      }
      it.code = '\'';
      it.text = s.substr(start, i - start);
      ++i;
      continue;
    }
    const bool counted = s[i] >= '0' && s[i] <= '9';
    it.repeat = counted ? detail::layout_number(s, i) : 1;
    if (i == s.size() || it.repeat < 1) bad();
    it.code = s[i++];
    switch (it.code) {
      case 'X':
        break;
      case 'A':
        it.w = detail::layout_number(s, i);
        break;
      case 'I':
        it.w = detail::layout_number(s, i);
        if (it.w < 1 || it.w > FIELD_MAX) bad();
        break;
      case 'F':
      case 'E':
        it.w = detail::layout_number(s, i);
        if (it.w < 1 || i == s.size() || s[i] != '.') bad();
        ++i;
        if (i == s.size() || s[i] < '0' || s[i] > '9') bad();
        it.d = detail::layout_number(s, i);
        if (it.w > FIELD_MAX || it.d >= it.w) bad();
        break;
      default:
        bad();
    }
  }
  if (i + 1 != s.size()) bad();
  return L;
}

// One value of an output list.
struct Item {
  enum class Kind { Int, Real, Double, Text };
  Kind kind;
  Integer i = 0;
  Real r = 0.0f;
  double d = 0.0;  // free-form lines only
  std::string_view s;
  Item(Integer v) : kind(Kind::Int), i(v) {}
  Item(Real v) : kind(Kind::Real), r(v) {}
  Item(double v) : kind(Kind::Double), d(v) {}
  Item(const char* v) : kind(Kind::Text), s(v) {}
  Item(std::string_view v) : kind(Kind::Text), s(v) {}
};

// One variable of an input list: an integer, a real, or a fixed-length text
// (padded on the right with blanks, no terminating NUL required).
struct Target {
  enum class Kind { Int, Real, Text };
  Kind kind;
  void* p;
  int length = 0;
  Target(Integer* v) : kind(Kind::Int), p(v) {}
  Target(Real* v) : kind(Kind::Real), p(v) {}
  Target(char* text, int len) : kind(Kind::Text), p(text), length(len) {}
};

// How a number field read: a value, not a number, or beyond the range of its type.
enum class Parse { Ok, Bad, Range };
// One number as korvo reads it, no blanks: an optional sign, digits with an
// optional point, an optional exponent (E, e, D or d and a signed integer, or
// only a sign: "1.5+3" is 1500). The nearest value of the type; a magnitude
// below its smallest reads as zero of the same sign, one above its largest is
// Range. v is left alone unless the result is Ok.
Parse parse_number(std::string_view s, Integer& v);
Parse parse_number(std::string_view s, Real& v);
Parse parse_number(std::string_view s, double& v);

// The console as sink, and as the source of the answer to one question (the
// question names the answer in error reports).
Sink console_out(std::FILE* f = stdout);
Source console_in(const char* question, std::FILE* f = stdin);

// Open an existing file for reading; a missing or unreadable file, or a
// directory, is an Error. The name is used as given (no blanks removed) and
// must stay valid while the source is open: error reports quote it.
void open_input(Source& in, const char* name);
// Create or replace a file for writing. The name must stay valid until the
// sink is closed.
void create_output(Sink& out, const char* name);
// A file's records kept in memory before the file may be created, in room
// for `bytes` to begin with (more as they come): create_output then writes
// them to the file first. A sink that goes away still holding them writes
// nothing.
void hold_output(Sink& out, const char* name, std::size_t bytes);
void close_input(Source& in);
void close_output(Sink& out);  // flushes; a failed write is an Error

// One layout-driven write statement: one record, or one more per "/". The
// record ends after the last value; fields left over write nothing.
void write_formatted(Sink& out, const Layout& layout, std::initializer_list<Item> items = {});
// One layout-driven read statement: one record. The end of the input is an Error.
void read_formatted(Source& in, const Layout& layout, std::initializer_list<Target> targets);
// One free-form write statement: one line (more only when 79 characters do not hold the items).
void write_list(Sink& out, std::initializer_list<Item> items = {});
// One free-form read statement. Returns false at the end of a file before
// the statement's values are complete (the caller decides what that means);
// variables filled before that keep their new values. On the console the end
// of the input is an Error. A text variable takes one value verbatim.
bool read_list(Source& in, std::initializer_list<Target> targets);
// A plain number ("-1.25E-03", ".5", "7") at s, in a line held up to e (the
// line goes on past e when `more`), converted straight from its characters
// to the nearest Real, the bits the free-form scan gives: returns the
// character after it, a separator or the line's end. nullptr for anything
// else (a sign '+', a D exponent, "1.5+3", a repeat count, a value beyond the
// range), which the scan reads and reports.
const char* plain_number(const char* s, const char* e, bool more, Real& v);

// "Stop - Program terminated." CR LF on the console: the normal end of a run.
void write_stop(Sink& con);
// The report "<where>: <what>" for a fault in an input:
// "accel.dat, line 12: <what>" or "answer to <question>: <what>".
[[noreturn]] void input_error(const Source& in, std::string_view what);
// "<action> <name>: <reason of errno>", as an Error.
[[noreturn]] void file_error(const char* action, const char* name, int error);

// Leading and trailing blanks dropped (or any of the characters given).
std::string_view trim(std::string_view s, std::string_view blanks = " ");
// The text with every control character shown as '?', so that a report stays
// one line whatever a file name or an answer held.
std::string one_line(std::string_view s);
// Input shown in a report: in double quotes, at most 40 characters (then
// "..."), one line: "1.5x" or "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMN...".
std::string quote(std::string_view s);
// Where a fault lies, "<name>, line <n>" (the name alone for line 0), one line.
std::string where(std::string_view name, long line);

namespace detail {
// Significant decimal digits of a finite value: |v| = 0.d1d2...dn x 10^decpt.
// 17 digits from the exact expansion, rounded half up on the 18th, trailing
// zeros dropped; zero of either sign has n = 0, decpt 0 and no sign.
struct Decimal {
  char digit[18];
  int count;
  int decpt;
  bool negative;
};
Decimal decimal17(double v);        // short expansion, exact one only near a carry
Decimal decimal17_exact(double v);  // always from the exact expansion

// Field builders used by the writers and exposed for tests and benchmarks.
// Each writes exactly w characters at out (right-justified, blanks in front,
// or w asterisks when the value does not fit) and returns w.
int put_F(char* out, Real v, int w, int d);
int put_E(char* out, Real v, int w, int d);
int put_I(char* out, Integer v, int w);
// put_F and put_E form most fields by one scaling in double and hand the
// values near a decimal midpoint to these, which round the exact expansion:
// 17 digits half up, then half up again to the digits shown.
int put_F_exact(char* out, Real v, int w, int d);
int put_E_exact(char* out, Real v, int w, int d);
// Free-form numeric items, right-justified in widths 15 (real), 24 (double),
// 11 (integer); returns the width.
int put_list_real(char* out, Real v);
int put_list_double(char* out, double v);
int put_list_int(char* out, Integer v);
}  // namespace detail

}  // namespace korvo
