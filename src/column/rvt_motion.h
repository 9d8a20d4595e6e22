// korvo-site with a random-vibration-theory motion file in place of a
// record: the motion file read and checked, the RVT site run, its result
// files, warnings and console summary. Nothing here writes or prints.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "column/site.h"

namespace korvo::column {

struct RvtMotionRun {
  // The result files, name and text, in the order they are written.
  std::vector<std::pair<std::string, std::string>> files;
  std::string summary;  // the console's lines, naming `folder`
  // One line each: the column's first (column_warnings of them), then the run's.
  std::vector<std::string> warnings;
  std::size_t column_warnings = 0;
};

// The request's method, strain ratio, tolerance, iterations, mixing, model,
// input kind, fmax and strain limit as for records; its record fields are
// not used. Throws korvo::Error, one line naming the file, line and key.
RvtMotionRun run_rvt_motion(const SiteRequest& request, const std::string& profile_name,
                            const std::string& profile_text, const std::string& soil_unit,
                            const std::string& motion_name, const std::string& motion_text,
                            const std::string& folder);

}  // namespace korvo::column
