// Result files formed ahead of their writing: the records of S_amp1 while the
// amplification runs, those of amp_dat while the time history is transformed
// back, each on another core; the files are then written whole, in the order
// and with the reports of a run that formed them in turn.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <vector>

#include "run/run.h"

namespace korvo {

// The records of a frequency file, line by line, up to the first line whose
// modulus faulted (the fault kept with its line).
struct FrequencyRecords {
  std::string text;
  std::vector<std::size_t> end;  // the end of record k + 1 in text at k
  std::exception_ptr fault;
  Integer fault_line = 0;
};

// S_amp1's records for lines 1..NOM of AMP.
void form_transfer_records(FrequencyRecords& r, const Complex* AMP, const Grid& g);
// S_amp1 at path with lines 1..last, as write_transfer_file writes it: a
// modulus fault on a line up to last leaves the lines before it and is
// thrown.
void write_transfer_records(const char* path, const FrequencyRecords& r, Integer last);

// amp_dat's records for lines 2..NOM of X.
void form_spectrum_records(FrequencyRecords& r, const Complex* X, const Grid& g);
// amp_dat at path, as write_spectrum_file writes it.
void write_spectrum_records(const char* path, const FrequencyRecords& r);

}  // namespace korvo
