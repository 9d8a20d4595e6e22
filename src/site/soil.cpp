#include <cstdio>

#include "site/site.h"

namespace korvo {

namespace {

// The soil file stays open until the run ends, so it and the name its error
// reports point at live in static storage.
Source soil;
char soil_name[31];

}  // namespace

void read_soil_profile(Sink& con, Source& in, Real* RHO, Real* VP, Real* QP, Real* VS, Real* QS,
                       Real* TH, Real& QEXP, Integer& NL, Integer LCAP, Real& ANGLE,
                       Integer& IFLAG) {
  constexpr int NAME_LENGTH = 30;
  char name[NAME_LENGTH];
  write_formatted(con, "(/,' Enter Soil Data File Name ')");
  in.name = "the soil data file name";
  // A leading blank counts as no answer: read again, without a new prompt.
  do {
    read_formatted(in, "(A)", {Target(name, NAME_LENGTH)});
  } while (name[0] == ' ');

  int n = NAME_LENGTH;
  while (n > 0 && name[n - 1] == ' ') --n;
  // A second run in one process (tests) must not leak the first file.
  if (soil.file != nullptr) close_input(soil);
  soil = Source{};
  for (int k = 0; k < n; ++k) soil_name[k] = name[k];
  soil_name[n] = '\0';
  soil.name = soil_name;
  open_input(soil, soil_name);

  Real DEG = 0.0f;
  read_formatted(soil, "(F10.0)", {&DEG});
  read_formatted(soil, "(I10)", {&IFLAG});
  read_formatted(soil, "(I10,F10.0)", {&NL, &QEXP});
  // The layer columns and the transfer recursion hold at most LCAP layers and
  // need the half-space: a count outside 1..LCAP would write past the arrays
  // or leave the half-space undefined.
  if (NL < 1 || NL > LCAP) {
    char what[128];
    std::snprintf(what, sizeof what, "%s: layer count %d outside the allowed range 1 to %d",
                  soil_name, static_cast<int>(NL), static_cast<int>(LCAP));
    run_error(what);
  }
  for (Integer i = 1; i <= NL; ++i) {
    read_formatted(soil, "(6F8.0)",
                   {&RHO[i - 1], &VP[i - 1], &QP[i - 1], &VS[i - 1], &QS[i - 1], &TH[i - 1]});
  }
  ANGLE = DEG * DEGRAD;
}

}  // namespace korvo
