// Numeric text fields: every character korvo reads or writes passes here.
//
// Two mechanisms: layout-driven records ("(F8.4,6E12.4)", "(6F8.0)", ...) and
// free-form lines (values separated by blanks, commas or line ends on input;
// right-justified fields of fixed width per type on output).
//
// Records: a record written to a file ends with CR LF. A record written to the
// console begins with a carriage-control character that the console does not
// show: the console receives the record without its first character, then LF.
// On input a record ends at CR, LF or CR LF.
//
// Failures end the run: a field that is not a number, the end of the console
// input, a missing input file, an output file that cannot be written. Each
// gives one line on stderr naming the file and line (or the console question)
// and exit status 1; files already written keep their complete records.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string_view>

#include "korvo.h"

namespace korvo {

// Longest input record accepted; a longer one is refused with an error report.
constexpr int RECORD_MAX = 4096;

struct Sink {
  std::FILE* file = nullptr;
  const char* name = "";  // file name, for error reports
  bool console = false;
};

struct Source {
  std::FILE* file = nullptr;
  const char* name = "";  // file name; for the console, the question being answered
  bool console = false;
  long line = 0;  // number of the record last read (1-based), 0 before the first
  // The current record and the read position in it.
  char record[RECORD_MAX + 1] = {};
  int length = 0;
  int pos = 0;
};

// One value of an output list.
struct Item {
  enum class Kind { Int, Real, Double, Text };
  Kind kind;
  Integer i = 0;
  Real r = 0.0f;
  double d = 0.0;
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

// The console as sink and source.
Sink console_out();
Source console_in(const char* question);

// Open an existing file for reading; a missing or unreadable file, or a
// directory, ends the run. The name is used as given (no blanks removed) and
// must stay valid while the source is open: error reports quote it.
void open_input(Source& in, const char* name);
// Create or replace a file for writing; failure ends the run. The name must
// stay valid until close_output.
void create_output(Sink& out, const char* name);
void close_input(Source& in);
void close_output(Sink& out);  // flushes; a write error ends the run

// One layout-driven write statement: one record, or one more per "/".
void write_formatted(Sink& out, std::string_view layout, std::initializer_list<Item> items = {});
// One layout-driven read statement: one record. The end of the input ends the run.
void read_formatted(Source& in, std::string_view layout, std::initializer_list<Target> targets);
// One free-form write statement: one line (more only when 79 characters do not hold the items).
void write_list(Sink& out, std::initializer_list<Item> items = {});
// One free-form read statement. Returns false at the end of a file before
// the statement's values are complete (the caller decides what that means);
// variables filled before that keep their new values. On the console the end
// of the input ends the run. A text variable takes one value verbatim.
bool read_list(Source& in, std::initializer_list<Target> targets);

#ifdef KORVO_FUZZ_NO_EXIT
// Fuzz builds only: the end of a run is thrown instead of ending the process,
// so that a harness can go on with its next input. Every file the run opened is
// closed first; the report is not printed.
struct RunEnd {
  int status;
};
#endif

// Writes "Stop - Program terminated." CR LF to the console and exits with 0.
[[noreturn]] void stop_run();
// Writes one error line "korvo: <what>" on stderr after flushing every open
// output, and exits with 1. Control characters in <what> are shown as '?', so
// that the report stays one line whatever a file name or answer held.
[[noreturn]] void run_error(std::string_view what);
// The same, prefixed with where in the source the fault lies:
// "korvo: accel.dat, line 12: <what>" or "korvo: answer to <question>: <what>".
[[noreturn]] void input_error(const Source& in, std::string_view what);

namespace detail {
// One item of a layout string, repeat count kept: code 'F', 'E', 'I', 'A'
// (w = 0: the variable's length), 'X' (repeat = blanks), '/' or '\'' (text
// as written between the apostrophes, a doubled apostrophe standing for one).
struct LayoutItem {
  char code;
  int repeat;
  int w;
  int d;
  std::string_view text;
};
constexpr int LAYOUT_MAX = 32;
// Parses "(...)" into items and returns their number; a malformed layout is a
// fault of the program and ends the run.
int parse_layout(std::string_view layout, LayoutItem* items);

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
// The same for a double real: up to 16 significant digits instead of 7.
int put_F(char* out, double v, int w, int d);
int put_E(char* out, double v, int w, int d);
int put_I(char* out, Integer v, int w);
// Free-form numeric items, right-justified in widths 15 (real), 24 (double),
// 11 (integer); returns the width.
int put_list_real(char* out, Real v);
int put_list_double(char* out, double v);
int put_list_int(char* out, Integer v);
}  // namespace detail

}  // namespace korvo
