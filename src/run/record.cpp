#include <cstdio>
#include <cstring>

#include "run/run.h"
#include "spectral/spectral.h"

namespace korvo {

namespace {

constexpr int RECORD_UNIT = 11;

bool blank(const char* s, int n) {
  for (int i = 0; i < n; ++i)
    if (s[i] != ' ') return false;
  return true;
}

// Leading and trailing blanks are not part of a file name.
void trim(const char* s, int n, char* out) {
  int b = 0, e = n;
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  std::memcpy(out, s + b, static_cast<size_t>(e - b));
  out[e - b] = '\0';
}

// A blank name takes the next unused command-line argument; when none is
// left, the name is asked for on the console until it is not blank.
void resolve_blank_name(Source& in, int argc, char** argv, char* path, int cap) {
  static int next_arg = 1;
  if (next_arg < argc) {
    std::snprintf(path, static_cast<size_t>(cap), "%s", argv[next_arg++]);
    return;
  }
  std::fputs("File name missing or blank - please enter file name\n", stdout);
  char answer[256];
  in.name = "the record file name";
  do {
    std::printf("UNIT %d? ", RECORD_UNIT);
    std::fflush(stdout);
    read_formatted(in, "(A)", {Target(answer, static_cast<int>(sizeof answer))});
  } while (blank(answer, static_cast<int>(sizeof answer)));
  trim(answer, static_cast<int>(sizeof answer), path);
}

}  // namespace

void read_record(Sink& con, Source& in, int argc, char** argv, Real* T, Real* A, Complex* X,
                 Integer& NT, Real& DT, Integer& NF, Integer& IF1, Real& DUR, Real& DOM,
                 Integer& NOM, Real& EOM) {
  write_list(con);
  write_formatted(con, "(/,1X,'Enter Acceleration Data (1 component)')");
  char name[20];
  in.name = "the record file name";
  read_formatted(in, "(A20)", {Target(name, 20)});
  char path[512];
  if (blank(name, 20)) {
    resolve_blank_name(in, argc, argv, path, static_cast<int>(sizeof path));
  } else {
    trim(name, 20, path);
  }

  // Read to the end of the file; pairs beyond the arrays are counted only, so
  // that an overlong record is reported with its full length.
  Source rec;
  open_input(rec, path);
  Real spare_t = 0.0f, spare_a = 0.0f;
  Integer I = 1;
  for (;; ++I) {
    Real* t = I <= NMAX ? &T[I - 1] : &spare_t;
    Real* a = I <= NMAX ? &A[I - 1] : &spare_a;
    if (!read_list(rec, {t, a})) break;
    if (I == INT32_MAX) input_error(rec, "more than 2147483646 pairs");
  }
  close_input(rec);
  NT = I - 1;
  fp_clear();
  DT = T[1] - T[0];
  if (const char* f = fp_fault()) fp_error(f, "in the sample interval T(2) - T(1)");
  write_list(con, {"NT and DT=", NT, DT});

  NF = 2;
  IF1 = 0;
  for (Integer i = 2; i <= 15; ++i) {
    NF *= 2;
    if (NT <= NF) {
      IF1 = i;
      break;
    }
  }
  if (IF1 == 0) {
    write_list(con, {" NT>2**15 !!!!!"});
    stop_run();
  }
  write_list(con);
  write_list(con, {" IF1,NF=", IF1, NF});

  for (Integer i = 1; i <= NF; ++i) X[i - 1] = {i <= NT ? A[i - 1] : 0.0f, 0.0f};
  fft(NF, X, NMAX, -1);
  if (const char* f = fp_fault()) fp_error(f, "in the forward transform of the record");

  DUR = static_cast<Real>(NF) * DT;
  // From the product NF*DT before it is rounded to DUR.
  DOM = real(wide(TWOPI) / (wide(static_cast<Real>(NF)) * DT));
  if (const char* f = fp_fault()) {
    fp_error(f, DT == 0.0f ? "in the frequency grid: the sample interval T(2) - T(1) is 0"
                           : "in the frequency grid");
  }
  NOM = NF / 2 + 1;
  EOM = static_cast<Real>(NOM) * DOM;
  write_list(con);
  write_list(con, {" DUR,DOM,NOM,EOM=", DUR, DOM, NOM, EOM});
  write_list(con, {" Highest Frequency (hz)=", wide(EOM) / TWOPI_D});

  for (Integer i = 1; i <= NF; ++i) X[i - 1] = {X[i - 1].re * DT, X[i - 1].im * DT};
  if (const char* f = fp_fault()) fp_error(f, "in the scaling of the spectrum by DT");
}

}  // namespace korvo
