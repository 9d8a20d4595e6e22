// Run control: the record reader, the result writers and the driver.
#pragma once

#include "korvo.h"
#include "text/text.h"

namespace korvo {

// The whole run, from the first prompt to the stop message. argc/argv supply
// record file names when the answer to the first question is blank.
[[noreturn]] void run(int argc, char** argv);

// Asks for the record file, reads it to its end into T and A (capacity NMAX;
// pairs beyond it are counted, not stored), chooses NF, transforms and scales X
// and prints the grid. A record of more than 2^15 pairs stops the run.
void read_record(Sink& con, Source& in, int argc, char** argv, Real* T, Real* A, Complex* X,
                 Integer& NT, Real& DT, Integer& NF, Integer& IF1, Real& DUR, Real& DOM,
                 Integer& NOM, Real& EOM);

// amp_dat, the inverse transform, the summary and korvo_dat.
void write_results(Sink& con, Complex* X, Real* T, Real* A, Integer NT, Real DT, Integer NF,
                   Real DUR, Real DOM, Integer NOM);

}  // namespace korvo
