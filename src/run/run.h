// Run control: the console dialogue, the input and result files, and the
// driver that runs the method stage by stage.
#pragma once

#include <cstdio>

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
// later the time history; X its spectrum; AMP the two transfer functions.
struct Workspace {
  Real T[NMAX] = {}, A[NMAX] = {}, B[NMAX] = {};
  Complex X[NMAX] = {};
  Complex AMP[2 * AMP_STRIDE] = {};
};

// The whole run, from the first prompt to the stop message (also when a
// record is too long to transform). A refusal or a fault is an Error.
void run(Console& con, Workspace& w);

// Asks for the record file and reads it to its end into T and A (pairs beyond
// NMAX are counted, not stored); sets NT and DT and prints them.
void read_record(Console& con, Real* T, Real* A, Grid& g);

// Asks for the soil data file and reads the profile; ANGLE in radians. A layer
// count outside 1..LMAX is an Error.
Profile read_soil_profile(Console& con);

// The dialogue's questions, each asked as the run always has.
Integer ask_wave_type(Console& con);
Integer ask_reference(Console& con);  // asked again until 1 or 2
Conditioning ask_conditioning(Console& con, const Grid& g);

// S_amp1, lines 1..last: frequency and both transfer functions with their moduli.
void write_transfer_file(const Complex* AMP, const Grid& g, Integer last);
// amp_dat: lines 2..NOM of X with their moduli.
void write_spectrum_file(Sink& con, const Complex* X, const Grid& g);
// The summary of the time history on the console, then korvo_dat.
void write_time_history(Sink& con, const Real* T, const Real* A, const Grid& g);

}  // namespace korvo
