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
  Notes notes;
  Profile p =
      read_soil_file(std::string(trim(std::string_view(answer, NAME_LENGTH))).c_str(), &notes);
  // What the console holds goes first, as in a log of both streams.
  if (!notes.empty()) std::fflush(con.out.file);
  for (const std::string& n : notes) std::fprintf(stderr, "korvo: %s\n", one_line(n).c_str());
  return p;
}

namespace {

// True when a layer line's numbers do not sit in their 8-column fields: a
// number that is whole on its own (blanks or tabs around it) reaches across
// a field boundary, as blank- or tab-separated values do. Two full fields
// written without a blank between them form no such number.
bool off_the_columns(const Source& in) {
  constexpr int WIDTH = 8, FIELDS = 6;
  const int n = in.length < WIDTH * FIELDS ? in.length : WIDTH * FIELDS;
  for (int k = 0; k < n;) {
    if (in.record[k] == ' ' || in.record[k] == '\t') {
      ++k;
      continue;
    }
    int e = k;
    while (e < in.length && in.record[e] != ' ' && in.record[e] != '\t') ++e;
    Real v;
    const bool across = k / WIDTH != (e - 1) / WIDTH;
    if (across && parse_number(std::string_view(in.record + k, static_cast<std::size_t>(e - k)),
                               v) == Parse::Ok)
      return true;
    k = e;
  }
  return false;
}

}  // namespace

Profile read_soil_file(const char* name, Notes* notes) {
  Profile p;
  Source soil;
  open_input(soil, name);
  Real DEG = 0.0f;
  read_formatted(soil, ANGLE_LINE, {&DEG});
  read_formatted(soil, IFLAG_LINE, {&p.IFLAG});
  read_formatted(soil, COUNT_LINE, {&p.NL, &p.QEXP});
  check_layer_count(p.NL, name);
  bool warned = false;  // one note for the file, at its first such line
  for (Integer i = 1; i <= p.NL; ++i) {
    read_formatted(
        soil, LAYER_LINE,
        {&p.RHO[i - 1], &p.VP[i - 1], &p.QP[i - 1], &p.VS[i - 1], &p.QS[i - 1], &p.TH[i - 1]});
    if (notes != nullptr && !warned && off_the_columns(soil)) {
      notes->push_back(std::string(name) + ", line " + std::to_string(soil.line) +
                       " does not follow the fixed columns: 6 fields of 8 characters, density, "
                       "VP, QP, VS, QS, thickness");
      warned = true;
    }
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
