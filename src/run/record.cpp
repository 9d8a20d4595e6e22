#include <cstdio>
#include <string>

#include "run/run.h"

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

void read_record(Console& con, Real* T, Real* A, Grid& g) {
  write_list(con.out);
  write_formatted(con.out, ACCEL_PROMPT);
  char answer[20];
  Source in = console_in("the record file name", con.answers);
  read_formatted(in, NAME_20, {Target(answer, 20)});
  std::string path(trim(std::string_view(answer, 20)));
  if (path.empty()) path = resolve_blank_name(con);

  read_record_file(path.c_str(), T, A, g);
  write_list(con.out, {"NT and DT=", g.NT, g.DT});
}

void read_record_file(const char* path, Real* T, Real* A, Grid& g) {
  // Read to the end of the file; pairs beyond the arrays are counted only, so
  // that an overlong record is reported with its full length.
  Source rec;
  open_input(rec, path);
  // DT comes from the first two times even when fewer were read: as in a
  // fresh workspace, what was not read is 0.
  T[0] = T[1] = 0.0f;
  Real spare_t = 0.0f, spare_a = 0.0f;
  Integer I = 1;
  for (;; ++I) {
    Real* t = I <= NMAX ? &T[I - 1] : &spare_t;
    Real* a = I <= NMAX ? &A[I - 1] : &spare_a;
    if (!read_list(rec, {t, a})) break;
    if (I == INT32_MAX) input_error(rec, "more than 2147483646 pairs");
  }
  close_input(rec);
  g.NT = I - 1;
  fp_stage([&] { g.DT = T[1] - T[0]; }, [] { return "in the sample interval T(2) - T(1)"; });
}

}  // namespace korvo
