#include <string>

#include "run/run.h"

namespace korvo {

namespace {

// The layout of S_amp1 and amp_dat lines; amp_dat fills the first four fields.
constexpr Layout FREQUENCY_LINE = layout("(F8.4,6E12.4)");
constexpr Layout TIME_LINE = layout("(F8.3,3E12.4)");

// The arrays hold NMAX lines: a count beyond them would read past their end.
void check_lines(const char* entry, const char* name, Integer v, Integer lo, Integer hi) {
  if (v >= lo && v <= hi) return;
  throw Error(std::string(entry) + ": " + name + " = " + std::to_string(v) + " outside " +
              std::to_string(lo) + " to " + std::to_string(hi));
}

}  // namespace

void write_transfer_file(const char* path, const Complex* AMP, const Grid& g, Integer last) {
  check_lines("write_transfer_file", "NOM", g.NOM, 0, NMAX);
  check_lines("write_transfer_file", "last", last, 0, g.NOM);
  Sink samp;
  create_output(samp, path);
  Integer I = 1;
  fp_stage(
      [&] {
        for (; I <= last; ++I) {
          const Complex a1 = AMP[I - 1], a2 = AMP[AMP_STRIDE + I - 1];
          const Real m1 = cabs(a1), m2 = cabs(a2);
          if (fp_fault()) return;
          write_formatted(samp, FREQUENCY_LINE,
                          {hertz(I, g.DOM), a1.re, a1.im, m1, a2.re, a2.im, m2});
        }
      },
      [&] { return "in the amplification moduli " + at_line(I, g.DOM); });
  close_output(samp);
}

void write_spectrum_file(const char* path, const Complex* X, const Grid& g) {
  check_lines("write_spectrum_file", "NOM", g.NOM, 0, NMAX);
  Sink amp;
  create_output(amp, path);
  Integer I = 2;
  fp_stage(
      [&] {
        for (; I <= g.NOM; ++I) {
          const Real mod = cabs(X[I - 1]);
          if (fp_fault()) return;
          write_formatted(amp, FREQUENCY_LINE, {hertz(I, g.DOM), X[I - 1].re, X[I - 1].im, mod});
        }
      },
      [&] { return "in the Fourier modulus " + at_line(I, g.DOM); });
  close_output(amp);
}

void write_summary(Sink& con, const Real* A, const Grid& g) {
  check_lines("write_summary", "NF", g.NF, 0, NMAX);
  // Both extremes start from 0 and cover all NF samples, also those beyond NT.
  Real AMIN = 0.0f, AMAX = 0.0f;
  for (Integer I = 1; I <= g.NF; ++I) {
    if (A[I - 1] > AMAX) AMAX = A[I - 1];
    if (A[I - 1] < AMIN) AMIN = A[I - 1];
  }
  write_list(con);
  // "Nmber" is how the summary has always been spelt; scripts match on it.
  write_list(con, {" Nmber of data points    =", g.NF});
  write_list(con, {" Duration and Delta Time =", g.DUR, g.DT});
  write_list(con, {" Initial and final times =", 0.0f, g.DUR - g.DT});
  write_list(con);
  write_list(con, {" Min and Max amplitudes  =", AMIN, AMAX});
}

void write_history(Sink& out, const Real* T, const Real* A, Integer first, Integer last) {
  if (last < first) return;
  check_lines("write_history", "first", first, 1, NMAX);
  check_lines("write_history", "last", last, first, NMAX);
  for (Integer I = first; I <= last; ++I) write_formatted(out, TIME_LINE, {T[I - 1], A[I - 1]});
}

void write_history_file(const char* path, const Real* T, const Real* A, const Grid& g) {
  check_lines("write_history_file", "NT", g.NT, 0, NMAX);
  Sink out;
  create_output(out, path);
  write_history(out, T, A, 1, g.NT);
  close_output(out);
}

}  // namespace korvo
