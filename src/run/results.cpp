#include "run/results.h"

namespace korvo {

namespace {

// The layout of S_amp1 and amp_dat lines; amp_dat fills the first four fields.
constexpr Layout FREQUENCY_LINE = layout("(F8.4,6E12.4)");
constexpr Layout TIME_LINE = layout("(F8.3,3E12.4)");
constexpr std::size_t RECORD_BYTES = 8 + 6 * 12 + 2;  // the longest, CR LF included

// The records of lines first..NOM as `line` forms them (its moduli first, so
// that a fault stops before its line's record): false at a fault.
template <class Line>
void form(FrequencyRecords& r, const char* name, Integer first, const Grid& g, const char* what,
          Line line) {
  r.text.clear();
  r.end.clear();
  r.fault = nullptr;
  r.fault_line = 0;
  if (g.NOM >= first) {
    const std::size_t lines = static_cast<std::size_t>(g.NOM - first + 1);
    r.end.reserve(lines);
    r.text.reserve(lines * RECORD_BYTES);
  }
  Sink out = memory_output(r.text, name);
  Integer I = first;
  try {
    fp_stage(
        [&] {
          for (; I <= g.NOM; ++I) {
            if (!line(out, I)) return;
            r.end.push_back(r.text.size());
          }
        },
        [&] { return std::string(what) + at_line(I, g.DOM); });
  } catch (const Error&) {
    r.fault = std::current_exception();
    r.fault_line = I;
  }
}

// The first `lines` records, and the fault when it lies among them.
void write_frequency_records(const char* path, const FrequencyRecords& r, std::size_t lines) {
  Sink out;
  create_output(out, path);
  const bool faulted = r.fault && r.end.size() < lines;
  if (faulted) lines = r.end.size();
  write_records(out, std::string_view(r.text).substr(0, lines > 0 ? r.end[lines - 1] : 0));
  // A fault is the report; the records before it still reach the file.
  if (faulted) std::rethrow_exception(r.fault);
  close_output(out);
}

}  // namespace

void form_transfer_records(FrequencyRecords& r, const Complex* AMP, const Grid& g) {
  form(r, "S_amp1", 1, g, "in the amplification moduli ", [&](Sink& out, Integer I) {
    const Complex a1 = AMP[I - 1], a2 = AMP[AMP_STRIDE + I - 1];
    const Real m1 = cabs(a1), m2 = cabs(a2);
    if (fp_fault()) return false;
    write_formatted(out, FREQUENCY_LINE, {hertz(I, g.DOM), a1.re, a1.im, m1, a2.re, a2.im, m2});
    return true;
  });
}

void write_transfer_records(const char* path, const FrequencyRecords& r, Integer last) {
  write_frequency_records(path, r, static_cast<std::size_t>(last > 0 ? last : 0));
}

void form_spectrum_records(FrequencyRecords& r, const Complex* X, const Grid& g) {
  form(r, "amp_dat", 2, g, "in the Fourier modulus ", [&](Sink& out, Integer I) {
    const Real mod = cabs(X[I - 1]);
    if (fp_fault()) return false;
    write_formatted(out, FREQUENCY_LINE, {hertz(I, g.DOM), X[I - 1].re, X[I - 1].im, mod});
    return true;
  });
}

void write_spectrum_records(const char* path, const FrequencyRecords& r) {
  write_frequency_records(path, r, r.end.size() + (r.fault ? 1 : 0));
}

void write_transfer_file(const char* path, const Complex* AMP, const Grid& g, Integer last) {
  FrequencyRecords r;
  Grid upto = g;
  upto.NOM = last < g.NOM ? last : g.NOM;
  form_transfer_records(r, AMP, upto);
  write_transfer_records(path, r, last);
}

void write_spectrum_file(const char* path, const Complex* X, const Grid& g) {
  FrequencyRecords r;
  form_spectrum_records(r, X, g);
  write_spectrum_records(path, r);
}

void write_summary(Sink& con, const Real* A, const Grid& g) {
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

void write_history_file(const char* path, const Real* T, const Real* A, const Grid& g) {
  Sink out;
  create_output(out, path);
  for (Integer I = 1; I <= g.NT; ++I) write_formatted(out, TIME_LINE, {T[I - 1], A[I - 1]});
  close_output(out);
}

}  // namespace korvo
