#include <cstdio>
#include <string>

#include "run/run.h"

namespace korvo {

namespace {

constexpr Layout SOIL_PROMPT = layout("(/,' Enter Soil Data File Name ')");
constexpr Layout NAME_30 = layout("(A)");
constexpr Layout ANGLE_LINE = layout("(F10.0)");
constexpr Layout IFLAG_LINE = layout("(I10)");
constexpr Layout COUNT_LINE = layout("(I10,F10.0)");
constexpr Layout LAYER_LINE = layout("(6F8.0)");

}  // namespace

Profile read_soil_profile(Console& con) {
  constexpr int NAME_LENGTH = 30;
  char answer[NAME_LENGTH];
  write_formatted(con.out, SOIL_PROMPT);
  // A leading blank counts as no answer: read again, without a new prompt.
  do {
    Source in = console_in("the soil data file name", con.answers);
    read_formatted(in, NAME_30, {Target(answer, NAME_LENGTH)});
  } while (answer[0] == ' ');
  return read_soil_file(std::string(trim(std::string_view(answer, NAME_LENGTH))).c_str());
}

Profile read_soil_file(const char* name) {
  Profile p;
  Source soil;
  open_input(soil, name);
  Real DEG = 0.0f;
  read_formatted(soil, ANGLE_LINE, {&DEG});
  read_formatted(soil, IFLAG_LINE, {&p.IFLAG});
  read_formatted(soil, COUNT_LINE, {&p.NL, &p.QEXP});
  check_layer_count(p.NL, name);
  for (Integer i = 1; i <= p.NL; ++i) {
    read_formatted(
        soil, LAYER_LINE,
        {&p.RHO[i - 1], &p.VP[i - 1], &p.QP[i - 1], &p.VS[i - 1], &p.QS[i - 1], &p.TH[i - 1]});
  }
  p.ANGLE = DEG * DEGRAD;
  return p;
}

void check_layer_count(Integer NL, std::string_view source) {
  // The layer columns and the transfer recursion hold at most LMAX layers and
  // need the half-space.
  if (NL >= 1 && NL <= LMAX) return;
  throw Error(std::string(source) + ": layer count " + std::to_string(NL) +
              " outside the allowed range 1 to " + std::to_string(LMAX));
}

}  // namespace korvo
