#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <string>

#include "run/run.h"
#include "run/tail.h"

namespace korvo {

namespace {

constexpr int RECORD_UNIT = 11;
constexpr Layout ACCEL_PROMPT = layout("(/,1X,'Enter Acceleration Data (1 component)')");
constexpr Layout NAME_20 = layout("(A20)");
constexpr Layout NAME_ANY = layout("(A)");

// A blank name takes the next unused command-line argument; when none is
// left, the name is asked for on the console until it is not blank.
std::string resolve_blank_name(Console& con) {
  if (con.next_arg < con.argc) return con.argv[con.next_arg++];
  std::fputs("File name missing or blank - please enter file name\n", con.out.file);
  char answer[256];
  std::string_view name;
  do {
    std::fprintf(con.out.file, "UNIT %d? ", RECORD_UNIT);
    std::fflush(con.out.file);
    Source in = console_in("the record file name", con.answers);
    read_formatted(in, NAME_ANY, {Target(answer, static_cast<int>(sizeof answer))});
    name = trim(std::string_view(answer, sizeof answer));
  } while (name.empty());
  return std::string(name);
}

}  // namespace

void read_record(Console& con, Real* T, Real* A, Grid& g, Helper* helper) {
  write_list(con.out);
  write_formatted(con.out, ACCEL_PROMPT);
  char answer[20];
  Source in = console_in("the record file name", con.answers);
  read_formatted(in, NAME_20, {Target(answer, 20)});
  std::string path(trim(std::string_view(answer, 20)));
  if (path.empty()) path = resolve_blank_name(con);

  Notes notes;
  read_record_file(path.c_str(), T, A, g, &notes, helper);
  // What the console holds goes first, as in a log of both streams.
  if (!notes.empty()) std::fflush(con.out.file);
  for (const std::string& n : notes) std::fprintf(stderr, "korvo: %s\n", one_line(n).c_str());
  write_list(con.out, {"NT and DT=", g.NT, g.DT});
}

namespace {

// A hint for a record that is refused in its first lines when the file looks
// like a format korvo-record converts, or starts with a column header.
std::string format_hint(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return "";
  char first[256] = {};
  if (std::fgets(first, sizeof first, f) == nullptr) first[0] = '\0';
  std::fclose(f);
  std::string line(first);
  for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (line.find("PEER") != std::string::npos || line.find("NGA") != std::string::npos)
    return " (this looks like a PEER AT2 record: convert it with korvo-record)";
  if (line.find("ACCELEROGRAM") != std::string::npos)
    return " (this looks like a USGS SMC record: convert it with korvo-record)";
  const std::string_view t = trim(line);
  if (!t.empty() && (std::isalpha(static_cast<unsigned char>(t[0])) || t[0] == '#'))
    return " (the first line looks like a column header: remove it)";
  return "";
}

// Fixed-point digits enough to show a step of dt: 0.02 -> 4, 0.005 -> 5.
int decimals_for(double dt) {
  int d = 4;
  while (d < 12 && dt < 100.0 * std::pow(10.0, -d)) ++d;
  return d;
}

}  // namespace

void read_record_file(const char* path, Real* T, Real* A, Grid& g, Notes* notes, Helper* helper) {
  // Read to the end of the file; pairs beyond the arrays are counted only, so
  // that an overlong record is reported with its full length.
  Source rec;
  open_input(rec, path);
  struct stat st;
  const int fd = fileno(rec.file);
  const long size = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<long>(st.st_size) : 0;
  // DT comes from the first two times even when fewer were read: as in a
  // fresh workspace, what was not read is 0.
  T[0] = T[1] = 0.0f;
  Real spare_t = 0.0f, spare_a = 0.0f;
  // The first time off its place on the grid T(1) + (I-1) DT by more than
  // half a step: a column of accelerations read as pairs, most often.
  long uneven_line = 0;
  double uneven_has = 0.0, uneven_expected = 0.0;
  Integer I = 1;
  // Pair I, read from line `line`, taken.
  auto take = [&](Real* t, long line) {
    if (I == INT32_MAX) input_error(rec, "more than 2147483646 pairs");
    if (I >= 3 && uneven_line == 0) {
      const double dt = wide(T[1]) - wide(T[0]);
      const double expected = wide(T[0]) + static_cast<double>(I - 1) * dt;
      if (std::fabs(wide(*t) - expected) > 0.5 * std::fabs(dt)) {
        uneven_line = line;
        uneven_has = wide(*t);
        uneven_expected = expected;
      }
    }
  };
  try {
    // Done with before the file is closed, however the reading ends.
    TailReading tail(helper, fd, size);
    for (;; ++I) {
      Real* t = I <= NMAX ? &T[I - 1] : &spare_t;
      Real* a = I <= NMAX ? &A[I - 1] : &spare_a;
      if (!read_list(rec, {t, a})) break;
      take(t, rec.value_line);
      if (!tail.taken_at(rec.offset)) continue;
      // Its lines follow this one, a pair each.
      const long line = rec.line;
      for (Integer k = 0; k < tail.pairs(); ++k) {
        ++I;
        t = I <= NMAX ? &T[I - 1] : &spare_t;
        a = I <= NMAX ? &A[I - 1] : &spare_a;
        *t = tail.time(k);
        *a = tail.accel(k);
        take(t, line + 1 + k);
      }
      ++I;
      break;
    }
  } catch (const Error& e) {
    if (rec.line > 4) throw;
    throw Error(e.what() + format_hint(path));
  }
  close_input(rec);
  g.NT = I - 1;
  fp_stage([&] { g.DT = T[1] - T[0]; }, [] { return "in the sample interval T(2) - T(1)"; });
  // Decreasing or equal times would give a negative or empty frequency grid.
  if (!(g.DT > 0.0f)) {
    char what[96];
    std::snprintf(what, sizeof what, ": the sample interval T(2) - T(1) = %.7g is not positive",
                  wide(g.DT));
    throw Error(path + std::string(what));
  }
  if (uneven_line > 0 && notes != nullptr) {
    const int d = decimals_for(wide(g.DT));
    char what[192];
    std::snprintf(what, sizeof what,
                  ": the times are not evenly spaced: line %ld has %.*f, expected %.*f; is this a "
                  "two-column record?",
                  uneven_line, d, uneven_has, d, uneven_expected);
    notes->push_back(path + std::string(what));
  }
}

}  // namespace korvo
