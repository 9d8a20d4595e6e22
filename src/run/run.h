// Run control: the console dialogue, the input and result files, and the
// driver that runs the method stage by stage.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "korvo.h"
#include "site/site.h"
#include "spectral/spectral.h"
#include "text/text.h"

namespace korvo {

// Where a run's answers come from and its console lines go, and the
// command-line arguments that stand in for a blank record file name.
struct Console {
  Sink out = console_out();
  std::FILE* answers = stdin;
  int argc = 0;
  char** argv = nullptr;
  int next_arg = 1;  // the next argument a blank name takes
};

// The arrays of one run, fixed capacity, zero-filled. T and A hold the record,
// later the time history; X its spectrum, later the processed one; Y the
// spectrum transformed back; AMP the two transfer functions.
struct Workspace {
  Real T[NMAX] = {}, A[NMAX] = {}, B[NMAX] = {};
  Complex X[NMAX] = {}, Y[NMAX] = {};
  Complex AMP[2 * AMP_STRIDE] = {};
};

// Warnings of a run: things that are read as they must be but look like a
// mistake. The console program writes them on standard error.
using Notes = std::vector<std::string>;

// The whole run, from the first prompt to the stop message (also when a
// record is too long to transform). A refusal or a fault is an Error.
// KORVO_THREADS=1 keeps every stage on this thread, in the plain order.
void run(Console& con, Workspace& w);

// Asks for the record file and reads it to its end into T and A (pairs beyond
// NMAX are counted, not stored); sets NT and DT and prints them.
void read_record(Console& con, Real* T, Real* A, Grid& g, Helper* helper = nullptr);

// Asks for the soil data file and reads the profile; ANGLE in radians. A layer
// count outside 1..LMAX is an Error.
Profile read_soil_profile(Console& con);
// The same for a soil file named directly. A layer line whose numbers do not
// sit in their columns adds a note.
Profile read_soil_file(const char* name, Notes* notes = nullptr);
// "<name> = IAMP: 1 (...) or 2 (...)" unless IAMP is 1 or 2, the columns of AMP.
void check_reference(Integer IAMP, std::string_view name);
// "<source>: layer count NL outside the allowed range 1 to 50" unless 1 <= NL <= LMAX.
void check_layer_count(Integer NL, std::string_view source);
// The record file at path read to its end into T and A; NT and DT in g.
// Times that do not increase (DT <= 0) are refused; times off their evenly
// spaced places add a note.
// With a helper, the second half of a long file is read beside the first.
void read_record_file(const char* path, Real* T, Real* A, Grid& g, Notes* notes = nullptr,
                      Helper* helper = nullptr);

// The dialogue's questions, each asked as the run always has.
Integer ask_wave_type(Console& con);
Integer ask_reference(Console& con);  // asked again until 1 or 2
Conditioning ask_conditioning(Console& con, const Grid& g);

// S_amp1 at path, lines 1..last: frequency and both transfer functions with
// their moduli.
void write_transfer_file(const char* path, const Complex* AMP, const Grid& g, Integer last);
// amp_dat at path: lines 2..NOM of X with their moduli.
void write_spectrum_file(const char* path, const Complex* X, const Grid& g);
// The console summary of the time history: length, duration and step,
// first and last time, and the extremes over all NF samples.
void write_summary(Sink& con, const Real* A, const Grid& g);
// korvo_dat at path: lines 1..NT of the time history.
void write_history_file(const char* path, const Real* T, const Real* A, const Grid& g);
// Its lines first..last to a sink, HISTORY_RECORD bytes each.
void write_history(Sink& out, const Real* T, const Real* A, Integer first, Integer last);
constexpr int HISTORY_RECORD = 8 + 12 + 2;

// Two stages of the method as the driver runs them (a benchmark times them
// one by one). The record in A, zero beyond NT, into X and transformed
// forward in place; g.NF set by transform_length.
void forward_transform(Workspace& w, const Grid& g);
// The time history in T and A from the processed spectrum, which stays in
// X: Y holds the whole Hermitian spectrum and is transformed back in place.
void inverse_transform(Workspace& w, const Grid& g);

// The answers of the dialogue, given up front.
struct Answers {
  Integer IWAVE = 0;  // 0 horizontal, 1 vertical, else P waves
  Integer IAMP = 1;   // 1 input or outcrop, 2 top of the half-space
  Conditioning c;
};

// The whole computation without a console, for callers that know the answers
// before the run: from the record in T and A (g.NT and g.DT set) to AMP, the
// processed spectrum in X (lines 1..NOM: amp_dat shows 2..NOM) and the time
// history in T and A (lines 1..NF; korvo_dat shows 1..NT). False, with nothing computed, when the
// record is longer than 2^15 pairs. A refusal or a fault is an Error, as in a console run; so are
// answers and a grid out of range (IWAVE 0..2, IAMP 1..2, NT >= 1, DT > 0, NL 1..LMAX), named
// in the one-line message.
// share_lines = false keeps the whole run on the calling thread, for callers
// that run many at once; the results are the same bits either way.
bool compute(Workspace& w, Grid& g, const Profile& p, const Answers& a, bool share_lines = true);

}  // namespace korvo
