#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "../support/e2e.h"
#include "motion/record.h"

using namespace e2e;
using namespace korvo::record;
using korvo::Parse;
using korvo::Real;

namespace {

fs::path data(const char* name) { return source_dir() / "tests/data/tools" / name; }

std::string join(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

std::string error_of(bool smc, const std::string& text) {
  try {
    if (smc)
      read_smc(text, "f");
    else
      read_at2(text, "f");
  } catch (const korvo::Error& e) {
    return e.what();
  }
  return "no error";
}

Outcome run_record(const fs::path& dir, const std::string& args) {
  return run_in(dir, "'" KORVO_RECORD_BINARY "' " + args, "");
}

}  // namespace

// One field filling its columns, as the fixed-width scanner converts it.
TEST(RecordNumbers, FortranStyleFields) {
  struct Case {
    const char* text;
    Parse expect;
    double value;
  };
  const Case cases[] = {
      {"1.5", Parse::Ok, 1.5},
      {" -.6403182E-02 ", Parse::Ok, -0.006403182},
      {"1.0D+03", Parse::Ok, 1000.0},
      {"+2.", Parse::Ok, 2.0},
      {"7", Parse::Ok, 7.0},
      {"2.5e-3", Parse::Ok, 0.0025},
      {"1.2345-100", Parse::Ok, 1.2345e-100},  // E10.4 with a three-digit exponent
      {"1E-400", Parse::Ok, 0.0},              // below the smallest double: reads as zero
      {"1E+400", Parse::Range, 0},             // above the largest: a fault
      {"abc", Parse::Bad, 0},
      {"1.2.3", Parse::Bad, 0},
      {"1e", Parse::Bad, 0},
      {".", Parse::Bad, 0},
      {"--1", Parse::Bad, 0},
      {"1 2", Parse::Bad, 0},
      {"NaN", Parse::Bad, 0},
  };
  for (const Case& c : cases) {
    const std::string_view text = c.text;
    std::vector<double> out;
    int bad = 0;
    EXPECT_EQ(detail::scan_fixed(text, static_cast<int>(text.size()), out, bad), c.expect) << text;
    if (c.expect == Parse::Ok) {
      ASSERT_EQ(out.size(), 1u) << text;
      EXPECT_DOUBLE_EQ(out[0], c.value) << text;
    } else {
      EXPECT_EQ(bad, 1) << text;
    }
  }
  // A blank field holds no value at all.
  std::vector<double> none;
  int bad = 0;
  EXPECT_EQ(detail::scan_fixed("          ", 10, none, bad), Parse::Ok);
  EXPECT_TRUE(none.empty());
}

// Samples are read straight to a Real: beyond its range is a fault, below it
// zero, and no rounding through a double first.
TEST(RecordNumbers, SamplesInSinglePrecision) {
  std::vector<Real> out;
  int bad = 0;
  EXPECT_EQ(detail::scan_free("1.0 3.5E38", out, bad), Parse::Range);
  EXPECT_EQ(bad, 5);
  out.clear();
  // 1 + 2^-24 is the midpoint between 1 and the next Real; this text lies 5e-24
  // above it. As a double it becomes the midpoint itself, which would tie to 1.
  ASSERT_EQ(detail::scan_free("-1E-50 1.00000005960464477539063", out, bad), Parse::Ok);
  EXPECT_TRUE(out[0] == 0.0f && std::signbit(out[0]));
  EXPECT_EQ(out[1], 1.0f + 0x1p-23f);
}

TEST(RecordNumbers, FreeValuesMayRunTogether) {
  struct Case {
    const char* line;
    std::vector<double> values;
    int bad_column;  // 0: the line reads
  };
  const Case cases[] = {
      {"-1.6646E-2-1.2E-3", {-0.016646, -0.0012}, 0},
      {" 2.3489E-2-1.6646E-2 7.7538E-3", {0.023489, -0.016646, 0.0077538}, 0},
      {"  -.6403182E-02  -.6028715E-02", {-0.006403182, -0.006028715}, 0},
      {"1,2, 3\r", {1, 2, 3}, 0},
      {"   ", {}, 0},
      {"1.0 2.O 3.0", {}, 5},
      {"1.2.3", {}, 1},
      {"0.5 x", {}, 5},
  };
  for (const Case& c : cases) {
    std::vector<double> out;
    int bad = 0;
    EXPECT_EQ(detail::scan_free(c.line, out, bad), c.bad_column == 0 ? Parse::Ok : Parse::Bad)
        << c.line;
    if (c.bad_column == 0) {
      ASSERT_EQ(out.size(), c.values.size()) << c.line;
      for (std::size_t i = 0; i < out.size(); ++i) EXPECT_DOUBLE_EQ(out[i], c.values[i]);
    } else {
      EXPECT_EQ(bad, c.bad_column) << c.line;
    }
  }
}

TEST(RecordNumbers, FixedFieldsSplitWhereSignsCannot) {
  // Two unsigned 10-character values: only the columns tell where the first ends.
  std::vector<double> out;
  int bad = 0;
  ASSERT_EQ(detail::scan_fixed("1.2345E-101.0000E+00", 10, out, bad), Parse::Ok);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_DOUBLE_EQ(out[0], 1.2345e-10);
  EXPECT_DOUBLE_EQ(out[1], 1.0);

  out.clear();
  // A hole, then a value.
  EXPECT_EQ(detail::scan_fixed("       1.0          2.0", 10, out, bad), Parse::Bad);
  EXPECT_EQ(bad, 11);
  out.clear();
  EXPECT_EQ(detail::scan_fixed("-1.6646E-2-1.2E-3-2.0E-3", 10, out, bad), Parse::Bad);
  EXPECT_EQ(bad, 11);
}

TEST(RecordTimes, DecimalsThatHoldTheInterval) {
  const struct {
    double dt;
    int decimals;
  } cases[] = {{0.01, 2}, {0.005, 3}, {0.02, 2}, {1.0, 0}, {0.0078125, 7}, {1.0 / 3.0, 9}};
  for (const auto& c : cases) EXPECT_EQ(time_decimals(c.dt), c.decimals) << c.dt;
}

TEST(RecordFiles, PeerAt2NewHeader) {
  const Record r = read_at2(slurp(data("IELC180.AT2")), "IELC180.AT2");
  ASSERT_EQ(r.a.size(), 4000u);
  EXPECT_DOUBLE_EQ(r.dt, 0.01);
  EXPECT_EQ(r.unit, Unit::G);
  EXPECT_TRUE(r.unit_stated);
  EXPECT_EQ(r.a.front(), -.6403182E-02f);
  EXPECT_EQ(r.a.back(), .9459335E-04f);
  // The record's documented peak is 0.3129 g.
  EXPECT_NEAR(std::fabs(find_peak(r.a, 4000).value), 0.3129f, 5e-5f);
}

TEST(RecordFiles, PeerAt2OlderDigitization) {
  const Record r = read_at2(slurp(data("elCentro.AT2")), "elCentro.AT2");
  ASSERT_EQ(r.a.size(), 1559u);  // 194 full lines of 8 and a last line of 7, without a line end
  EXPECT_DOUBLE_EQ(r.dt, 0.02);
  EXPECT_EQ(r.unit, Unit::G);
  EXPECT_TRUE(r.unit_stated);  // "The units are (g)"
  EXPECT_EQ(r.a[0], 0.00630f);
  EXPECT_EQ(r.a[8], -0.00128f);
  EXPECT_EQ(r.a[1558], 0.0f);
  EXPECT_NEAR(std::fabs(find_peak(r.a, 1559).value), 0.3188f, 5e-5f);
}

TEST(RecordFiles, PeerAt2ColumnHeader) {
  const std::string text = "a\nb\nc\n   5    0.0100    NPTS, DT\n 1. 2. 3.\n 4. 5.\n";
  const Record r = read_at2(text, "old.at2");
  ASSERT_EQ(r.a.size(), 5u);
  EXPECT_DOUBLE_EQ(r.dt, 0.01);
  EXPECT_FALSE(r.unit_stated);
  EXPECT_EQ(r.a[4], 5.0f);
}

// The unit named after UNITS in each spelling the headers use; the samples
// stay as written. A header in cm/s^2 converted to g by the command divides
// by 980.665: 490.3325 cm/s^2 is 0.5 g.
TEST(RecordFiles, At2HeaderUnits) {
  const struct {
    const char* line3;
    Unit unit;
  } cases[] = {
      {"ACCELERATION TIME SERIES IN UNITS OF CM/S/S", Unit::CmS2},
      {"ACCELERATION IN UNITS OF CM/SEC2", Unit::CmS2},
      {"ACCELERATION IN UNITS OF GAL", Unit::CmS2},
      {"Acceleration, units are gals", Unit::CmS2},
      {"ACCELERATION IN UNITS OF M/S/S", Unit::MS2},
      {"acceleration in units of m/s^2", Unit::MS2},
      {"ACCELERATION IN UNITS OF G.", Unit::G},
  };
  for (const auto& c : cases) {
    const std::string text =
        std::string("t\nt\n") + c.line3 + "\nNPTS= 3, DT= .01 SEC\n490.3325 -1 2\n";
    const Record r = read_at2(text, "u.at2");
    EXPECT_EQ(r.unit, c.unit) << c.line3;
    EXPECT_TRUE(r.unit_stated) << c.line3;
    EXPECT_EQ(r.a[0], 490.3325f) << c.line3;
  }
  const fs::path dir = scratch("at2_header_units");
  spit(dir / "gal.at2",
       "t\nt\nACCELERATION IN UNITS OF GAL\nNPTS= 3, DT= .01 SEC\n490.3325 -980.665 0\n");
  const Outcome run = run_record(dir, "gal.at2 --units g -o g.txt");
  ASSERT_EQ(run.status, 0) << run.err;
  const auto pairs = lines_of(slurp(dir / "g.txt"));
  ASSERT_EQ(pairs.size(), 3u);
  double t = 0.0, a = 0.0, b = 0.0;
  std::istringstream(pairs[0]) >> t >> a;
  std::istringstream(pairs[1]) >> t >> b;
  EXPECT_NEAR(a, 0.5, 1e-7);
  EXPECT_NEAR(b, -1.0, 1e-7);
  // --unit, the name the other commands use (--units stays), and a target
  // peak: 0.25 g over the peak of 1 g halves every sample; in gal, 0.25 g is
  // 245.16625.
  for (const char* args :
       {"gal.at2 --unit g --scale-pga 0.25g -o s.txt", "gal.at2 --scale-pga 245.16625 -o s.txt"}) {
    ASSERT_EQ(run_record(dir, args).status, 0) << args;
    const auto scaled = lines_of(slurp(dir / "s.txt"));
    std::istringstream(scaled[1]) >> t >> b;
    const double g = std::string(args).find("--unit g") != std::string::npos ? 1.0 : 980.665;
    EXPECT_NEAR(b, -0.25 * g, 1e-6 * g) << args;
  }
  EXPECT_EQ(run_record(dir, "gal.at2 --scale 2 --scale-pga 1").status, 2);
}

TEST(RecordFiles, UsgsSmcCorrected) {
  const Record r = read_smc(slurp(data("2516b_a.smc")), "2516b_a.smc");
  ASSERT_EQ(r.a.size(), 41200u);
  EXPECT_DOUBLE_EQ(r.dt, 0.005);  // 200 samples per second
  EXPECT_EQ(r.unit, Unit::CmS2);
  EXPECT_EQ(r.a[0], 2.3489E-2f);
  EXPECT_EQ(r.a[1], -1.6646E-2f);  // runs into the value before it
  EXPECT_EQ(r.a[41199], 3.4990E-3f);
  // Documented peak 39.104 cm/s^2; the real header puts it at 47.615 s.
  const Peak p = find_peak(r.a, 41200);
  EXPECT_NEAR(std::fabs(p.value), 39.104f, 1e-3f);
  EXPECT_NEAR(static_cast<double>(p.index) * r.dt, 47.615, 0.006);
}

TEST(RecordFiles, FormatFromNameThenContent) {
  EXPECT_EQ(detect_format("x.at2", ""), Format::At2);
  EXPECT_EQ(detect_format("X.SMC", ""), Format::Smc);
  EXPECT_EQ(detect_format("x.txt", "t\nt\nt\nNPTS= 3, DT= .01\n"), Format::At2);
  EXPECT_EQ(detect_format("x", "2 CORRECTED ACCELEROGRAM\n"), Format::Smc);
  EXPECT_THROW(detect_format("x.dat", "0.0 1.0\n"), korvo::Error);
}

TEST(RecordFaults, At2) {
  const std::string head = "t\nt\nACCELERATION IN UNITS OF G\n";
  const struct {
    std::string text;
    const char* expect;
  } cases[] = {
      {head + "NPTS= 10, DT= .01 SEC\n1 2 3 4 5\n6 7\n",
       "f, line 6: the file ends after 7 of the 10 samples"},
      {head + "NPTS= 4, DT= .01 SEC\n1 2 3\n4 5\n", "f, line 6: more data than the 4 samples"},
      {head + "NPTS= 2000000000, DT= .01 SEC\n1 2 3\n",
       "f, line 5: the file ends after 3 of the 2000000000 samples"},
      {head + "NPTS= 3, DT= .01 SEC\n1 2 3\n\n9\n", "f, line 7: more data than the 3 samples"},
      {head + "NPTS= 3, DT= .01 SEC\n1.0\n1.0 2.O 3.0\n", "f, line 6: column 5: \"2.O\" is not"},
      {head + "NPTS= 3, DT= .01 SEC\n1.0 --2 3\n", "f, line 5: column 5: \"--2\" is not"},
      {head + "DT= .01 SEC\n1 2 3\n", "f, line 4: no NPTS and DT"},
      {head + "NPTS= x, DT= .01 SEC\n1 2 3\n", "f, line 4: NPTS is not a whole number"},
      {head + "NPTS= 3, DT= 0.0 SEC\n1 2 3\n", "f, line 4: DT must be positive"},
      {head + "NPTS= 0, DT= .01 SEC\n", "f, line 4: NPTS must be at least 1"},
      {"t\nt\nVELOCITY TIME HISTORY IN UNITS OF CM/S\nNPTS= 1, DT= .01\n1\n",
       "f, line 3: the header describes a velocity"},
      {"t\nt\nIN UNITS OF FURLONGS\nNPTS= 1, DT= .01\n1\n", "f, line 3: the unit named"},
      {"t\nt\n", "f, line 2: the file ends within the four header lines"},
  };
  for (const auto& c : cases)
    EXPECT_NE(error_of(false, c.text).find(c.expect), std::string::npos)
        << c.text << "\n  gave: " << error_of(false, c.text);
}

TEST(RecordFaults, Smc) {
  const auto good = lines_of(slurp(data("2516b_a.smc")));
  ASSERT_EQ(good.size(), 5185u);
  auto edit = [&](std::size_t line, std::size_t col, const std::string& with) {
    auto l = good;
    l[line - 1].replace(col - 1, with.size(), with);
    return join(l);
  };
  auto cut = [&](std::size_t keep) {
    return join(std::vector<std::string>(good.begin(), good.begin() + keep));
  };
  const struct {
    std::string text;
    const char* expect;
  } cases[] = {
      // Data from line 36: lines 36..5000 hold 4965 * 8 values.
      {cut(5000), "f, line 5000: the file ends after 39720 of the 41200 samples"},
      {edit(14, 1, "     41201"), "f, line 5185: the file ends after 41200 of the 41201"},
      {edit(14, 1, "     41199"), "f, line 5185: more data than the 41199 samples"},
      {edit(100, 11, "-1.66X6E-2"), "f, line 100: column 11: \"-1.66X6E-2"},
      {edit(13, 71, "         9"), "f, line 36: expected comment line 9 of 9"},
      {edit(13, 71, "    -32768"), "f, line 13: the integer header gives no number of comment"},
      {edit(18, 16, "  1.7000000E+38"), "f, line 18: the real header gives no sampling rate"},
      {edit(1, 1, "1"), "f, line 1: not a corrected accelerogram"},
      {edit(15, 1, "    -327x8"), "f, line 15: expected 8 header values"},
      {cut(20), "f, line 20: the file ends within the 27 header lines"},
  };
  for (const auto& c : cases) {
    const std::string e = error_of(true, c.text);
    EXPECT_NE(e.find(c.expect), std::string::npos) << c.expect << "\n  gave: " << e;
  }
}

TEST(RecordUnits, ConversionAndScale) {
  Unit u;
  EXPECT_TRUE(parse_unit("cm/s^2", u) && u == Unit::CmS2);
  EXPECT_TRUE(parse_unit("GAL", u) && u == Unit::CmS2);
  EXPECT_TRUE(parse_unit("m/s2", u) && u == Unit::MS2);
  EXPECT_TRUE(parse_unit("G", u) && u == Unit::G);
  EXPECT_FALSE(parse_unit("ft/s2", u));

  // Standard gravity 9.80665 m/s^2: 0.5 g = 4.903325 m/s^2 = 490.3325 cm/s^2.
  const struct {
    Unit from, to;
    double scale, in, out;
  } cases[] = {
      {Unit::G, Unit::MS2, 1.0, 0.5, 4.903325},      {Unit::G, Unit::CmS2, 1.0, 0.5, 490.3325},
      {Unit::CmS2, Unit::MS2, 1.0, 39.104, 0.39104}, {Unit::MS2, Unit::G, 1.0, 4.903325, 0.5},
      {Unit::CmS2, Unit::G, 2.0, 490.3325, 1.0},     {Unit::G, Unit::G, -3.0, 0.25, -0.75},
  };
  for (const auto& c : cases) {
    Record r;
    r.unit = c.from;
    r.a = {static_cast<float>(c.in)};
    convert(r, c.to, c.scale);
    EXPECT_EQ(r.unit, c.to);
    EXPECT_NEAR(r.a[0], c.out, std::fabs(c.out) * 2e-7);
  }
  Record big;
  big.a = {3.0e38f};
  EXPECT_THROW(convert(big, Unit::G, 10.0), korvo::Error);
}

TEST(RecordOutput, PairsReadBackExactly) {
  Record r;
  r.dt = 0.01;
  r.a = {1.5f, -0.25f, 3e-7f, 0.1f};
  EXPECT_EQ(format_pairs(r, 4), "0.00 1.5\n0.01 -0.25\n0.02 3e-07\n0.03 0.1\n");
  EXPECT_EQ(format_pairs(r, 2), "0.00 1.5\n0.01 -0.25\n");
  r.unit = Unit::CmS2;
  EXPECT_EQ(format_pairs(r, 2, true), "time_s,accel_cm_s2\n0.00,1.5\n0.01,-0.25\n");

  // Times are exact multiples: 9999 * 0.005 = 49.995, not 49.99499...
  r.dt = 0.005;
  r.a.assign(10000, 1.0f);
  const std::string text = format_pairs(r, 10000);
  EXPECT_NE(text.find("\n49.995 1\n"), std::string::npos);
}

TEST(RecordCommand, At2ToDefaultName) {
  const fs::path dir = scratch("at2_to_default_name");
  const Outcome r = run_record(dir, "'" + data("IELC180.AT2").string() + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto pairs = lines_of(slurp(dir / "IELC180_g.txt"));
  ASSERT_EQ(pairs.size(), 4000u);
  EXPECT_EQ(pairs[0], "0.00 -0.006403182");
  EXPECT_EQ(pairs[3999], "39.99 9.459335e-05");
  EXPECT_NE(slurp(dir / "IELC180_g.txt.note").find("unit: g"), std::string::npos);
  EXPECT_NE(r.out.find("4000 samples, dt 0.01 s, peak "), std::string::npos) << r.out;
}

TEST(RecordCommand, LongRecordNeedsACut) {
  const fs::path dir = scratch("long_record_needs_a_cut");
  const std::string smc = "'" + data("2516b_a.smc").string() + "'";
  const Outcome refused = run_record(dir, smc + " -o r.txt");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("41200 samples, more than the 32768"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "r.txt"));

  const Outcome r = run_record(dir, smc + " --max 32768 --units m/s^2 -o r.txt");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto pairs = lines_of(slurp(dir / "r.txt"));
  ASSERT_EQ(pairs.size(), 32768u);
  double t = 0.0, a = 0.0;
  std::istringstream(pairs[1]) >> t >> a;
  EXPECT_EQ(pairs[1].substr(0, 6), "0.005 ");
  EXPECT_NEAR(a, -1.6646e-4, 1e-10);  // -1.6646E-2 cm/s^2
  EXPECT_EQ(pairs[32767].substr(0, 8), "163.835 ");
  EXPECT_NE(r.out.find("32768 samples (cut from 41200), dt 0.005 s, peak "), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("m/s^2 at 47.615 s"), std::string::npos) << r.out;
}

TEST(RecordCommand, FaultsAndUsage) {
  const fs::path dir = scratch("faults_and_usage");
  spit(dir / "bad.at2", "t\nt\nt\nNPTS= 3, DT= .01\n1 2 x\n");
  const Outcome bad = run_record(dir, "bad.at2");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "korvo-record: bad.at2, line 5: column 5: \"x\" is not a number\n");
  EXPECT_FALSE(fs::exists(dir / "bad_g.txt"));
  EXPECT_EQ(run_record(dir, "missing.at2").status, 1);
  EXPECT_EQ(run_record(dir, "").status, 2);
  EXPECT_EQ(run_record(dir, "bad.at2 --max 40000").status, 2);
  EXPECT_EQ(run_record(dir, "bad.at2 --units furlongs").status, 2);
}

TEST(RecordCommand, CommandLine) {
  const fs::path dir = scratch("command_line");
  spit(dir / "ok.at2", "t\nt\nt\nNPTS= 3, DT= .01\n1 2 -.5\n");
  const struct {
    const char* args;
    int status;
    const char* report;  // first line on stderr
  } cases[] = {
      {"", 2, "korvo-record: no record named"},
      {"ok.at2 -o", 2, "korvo-record: --output needs a value"},
      {"ok.at2 --bogus", 2, "korvo-record: unknown option --bogus"},
      {"ok.at2 other.at2", 2, "korvo-record: one record at a time"},
      {"ok.at2 --max 40000", 2, "korvo-record: --max needs a whole number from 1 to 32768"},
      {"ok.at2 --max 1e2", 2, "korvo-record: --max needs a whole number from 1 to 32768"},
      {"ok.at2 --scale 0", 2, "korvo-record: --scale needs a finite, non-zero number, not '0'"},
      {"ok.at2 --units furlongs", 2, "korvo-record: --unit is g, cm/s^2 or m/s^2, not 'furlongs'"},
      {"ok.at2 --format wav", 2, "korvo-record: --format is at2 or smc"},
      {"-- -x.at2", 1, "korvo-record: cannot open -x.at2: No such file or directory"},
      {"ok.at2 -o no/r.txt", 1, "korvo-record: cannot write no/r.txt: No such file or directory"},
      {"ok.at2 --scale=-2 --max=5 --max 2 -o r.txt", 0, ""},
  };
  for (const auto& c : cases) {
    const Outcome r = run_record(dir, c.args);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.report) << c.args;
    // The usage follows a wrong command line only.
    EXPECT_EQ(r.err.find("\nusage: korvo-record") != std::string::npos, c.status == 2) << c.args;
  }
  // The last option given wins; a negative value after "=" is a value.
  EXPECT_EQ(slurp(dir / "r.txt"), "0.00 -2\n0.01 -4\n");
  const Outcome help = run_record(dir, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: korvo-record [options] RECORD\n", 0), 0u);
}
