// korvo-site with a random-vibration-theory motion file in place of a record:
// the whole path from the TOML file to the results folder.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "column/site.h"

namespace korvo::site_tool {

struct RvtRun {
  std::string profile, motion, record, folder, soil_unit;
  // Method, strain ratio, tolerance, iterations, mixing, model, input kind,
  // fmax and strain limit as for records; the record-only fields (scale,
  // baseline, band pass, depths, pad, nfft) must be left at their defaults.
  korvo::column::SiteRequest request;
  // Other record-only options of the command line and whether each was given.
  std::vector<std::pair<std::string, bool>> given;
  bool strict = false;
};

// Writes the run's files and prints its summary; returns the exit status (0).
// Refusals leave as korvo::command::Refusal, one line naming the file, line
// and key or the option.
int run_rvt_motion(const RvtRun& run);

}  // namespace korvo::site_tool
