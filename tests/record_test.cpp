// The record file read end to end through the korvo binary: what the console
// reports of its length, sample interval and transform length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "machine/machine.h"
#include "run/run.h"
#include "support/e2e.h"

using namespace e2e;

namespace {

// The half-space alone, no damping: the run goes through to the end.
const char* const kHalfSpace =
    "       0.0\n"
    "         0\n"
    "         1     999.0\n"
    "     2.0  1000.0    50.0   500.0    25.0     0.0\n";

const char* const kAnswers = "accel.dat\nsoil.dat\n0\n1\n0\n0\n";

std::string pairs(int n, double dt = 0.01) {
  std::string s;
  char line[64];
  for (int i = 0; i < n; ++i) {
    std::snprintf(line, sizeof line, "%.4f %.5f\n", i * dt, std::sin(0.3 * i));
    s += line;
  }
  return s;
}

Outcome run_record(const std::string& name, const std::string& record,
                   const std::string& answers = kAnswers, const std::string& args = "") {
  const fs::path dir = scratch(name);
  spit(dir / "accel.dat", record);
  spit(dir / "soil.dat", kHalfSpace);
  return run_korvo(dir, answers, args);
}

bool has_line(const std::string& out, const std::string& line) {
  return ("\n" + out).find("\n" + line + "\n") != std::string::npos;
}

}  // namespace

TEST(RecordInput, LengthIntervalAndTransformLength) {
  struct {
    const char* name;
    std::string record;
    const char* nt_line;
    const char* nf_line;
  } cases[] = {
      {"four", pairs(4), "NT and DT=          4    1.000000E-02",
       " IF1,NF=          2           4"},
      {"five", pairs(5), "NT and DT=          5    1.000000E-02",
       " IF1,NF=          3           8"},
      {"pow2", pairs(4096), "NT and DT=       4096    1.000000E-02",
       " IF1,NF=         12        4096"},
      {"full", pairs(32768), "NT and DT=      32768    1.000000E-02",
       " IF1,NF=         15       32768"},
      // One pair: the second time is still 0, so DT = -T(1) (a positive T(1)
      // is refused).
      {"one", "-0.5 1.0\n", "NT and DT=          1    5.000000E-01",
       " IF1,NF=          2           4"},
      {"two", "0 1\n0.25 2\n", "NT and DT=          2    2.500000E-01",
       " IF1,NF=          2           4"},
      {"blank_lines", "\n0 1\n\n\n0.01 2\n  \n0.02 3\n\n", "NT and DT=          3    1.000000E-02",
       " IF1,NF=          2           4"},
      {"three_on_a_line", "0 1 99\n0.01 2 98 97\n", "NT and DT=          2    1.000000E-02",
       " IF1,NF=          2           4"},
      {"split_pair", "0\n1\n0.01\n2\n0.02 3\n", "NT and DT=          3    1.000000E-02",
       " IF1,NF=          2           4"},
      {"comma_separated", "0,1\n0.01,2\n", "NT and DT=          2    1.000000E-02",
       " IF1,NF=          2           4"},
      {"trailing_half_pair", "0 1\n0.01 2\n0.02\n", "NT and DT=          2    1.000000E-02",
       " IF1,NF=          2           4"},
      // The half pair on the second line is not counted, but its time enters DT.
      {"half_pair_second", "1 5\n3\n", "NT and DT=          1        2.000000",
       " IF1,NF=          2           4"},
      {"uneven_times", "0 1\n0.02 2\n0.03 3\n0.5 4\n", "NT and DT=          4    2.000000E-02",
       " IF1,NF=          2           4"},
  };
  for (const auto& c : cases) {
    const Outcome run = run_record(c.name, c.record);
    EXPECT_EQ(run.status, 0) << c.name << "\n" << run.err;
    EXPECT_TRUE(has_line(run.out, c.nt_line)) << c.name << "\n" << run.out;
    EXPECT_TRUE(has_line(run.out, c.nf_line)) << c.name << "\n" << run.out;
  }
}

// 3000 pairs at 0.01 s: the frequency grid of a 4096-point transform.
TEST(RecordInput, FrequencyGrid) {
  const Outcome run = run_record("grid", pairs(3000));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(has_line(run.out, " IF1,NF=         12        4096")) << run.out;
  // DUR = 40.96 as a float (40.959999), DOM = 0.15339808, NOM = 2049, EOM = 314.31268.
  EXPECT_TRUE(has_line(
      run.out, " DUR,DOM,NOM,EOM=      40.960000    1.533981E-01        2049      314.312700"))
      << run.out;
  // 314.31268 / 6.283185307 = 50.02441719414...
  EXPECT_TRUE(has_line(run.out, " Highest Frequency (hz)=      50.024417194141610")) << run.out;
}

TEST(RecordInput, LongerThanTwoToTheFifteenIsRefused) {
  const fs::path dir = scratch("too_long");
  spit(dir / "accel.dat", pairs(40000));
  spit(dir / "soil.dat", kHalfSpace);
  const Outcome run = run_korvo(dir, kAnswers);
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string tail =
      "NT and DT=      40000    1.000000E-02\n NT>2**15 !!!!!\n"
      "Stop - Program terminated.\r\n";
  ASSERT_GE(run.out.size(), tail.size());
  EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
  for (const char* file : {"S_amp1", "amp_dat", "korvo_dat"}) EXPECT_FALSE(fs::exists(dir / file));
}

TEST(RecordInput, BlankNameTakesArgumentThenAsks) {
  // A blank answer takes the first command-line argument.
  Outcome run = run_record("blank_arg", pairs(4), "\nsoil.dat\n0\n1\n0\n0\n", "accel.dat");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(has_line(run.out, "NT and DT=          4    1.000000E-02")) << run.out;

  // With no argument left, the name is asked for on the console until given.
  run = run_record("blank_ask", pairs(4), "\n\n   \naccel.dat\nsoil.dat\n0\n1\n0\n0\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("File name missing or blank - please enter file name\n"
                         "UNIT 11? UNIT 11? UNIT 11? NT and DT=          4"),
            std::string::npos)
      << run.out;
}

TEST(RecordInput, FailuresNameTheirCause) {
  struct {
    const char* name;
    std::string record;
    std::string answers;
    std::vector<std::string> words;
  } cases[] = {
      {"missing_file", "", "nosuch.dat\n", {"nosuch.dat"}},
      {"not_a_number", "0 1\n0.01 2\n0.02 x3\n", kAnswers, {"accel.dat", "line 3"}},
      {"console_ends", pairs(4), "", {"end of input"}},
  };
  for (const auto& c : cases) {
    const fs::path dir = scratch(c.name);
    if (!c.record.empty()) spit(dir / "accel.dat", c.record);
    const Outcome run = run_korvo(dir, c.answers);
    EXPECT_EQ(run.status, 1) << c.name;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.name << ": " << run.err;
    for (const auto& w : c.words)
      EXPECT_NE(run.err.find(w), std::string::npos) << c.name << ": " << run.err;
    for (const char* file : {"S_amp1", "amp_dat", "korvo_dat"})
      EXPECT_FALSE(fs::exists(dir / file)) << c.name;
  }
}

// A time more than half a step off its place T(1) + (I-1) DT is noted once,
// naming its line; closer ones are rounding. Step 1 s, so 0.45 and 0.55 of a
// step are far from any rounding of the times.
TEST(RecordInput, UnevenTimeNotedBeyondHalfAStep) {
  const struct {
    const char* name;
    const char* record;
    const char* where;  // what the note says of the time; "" for no note
  } cases[] = {
      {"0.45 late", "0 1\n1 2\n2 3\n3.45 4\n4 5\n", ""},
      {"0.45 early", "0 1\n1 2\n2 3\n2.55 4\n4 5\n", ""},
      {"0.55 late", "0 1\n1 2\n2 3\n3.55 4\n4 5\n", "line 4 has 3.5500, expected 3.0000"},
      {"0.55 early", "0 1\n1 2\n2 3\n2.45 4\n4 5\n", "line 4 has 2.4500, expected 3.0000"},
  };
  const std::string path = (scratch("uneven") / "accel.dat").string();
  std::vector<korvo::Real> T(korvo::NMAX, 0.0f), A(korvo::NMAX, 0.0f);
  for (const auto& c : cases) {
    spit(path, c.record);
    korvo::Grid g;
    korvo::Notes notes;
    korvo::read_record_file(path.c_str(), T.data(), A.data(), g, &notes);
    EXPECT_EQ(g.NT, 5) << c.name;
    if (*c.where == '\0') {
      EXPECT_TRUE(notes.empty()) << c.name << ": " << (notes.empty() ? "" : notes[0]);
    } else {
      const std::string note =
          path + ": the times are not evenly spaced: " + c.where + "; is this a two-column record?";
      EXPECT_EQ(notes, korvo::Notes{note}) << c.name;
    }
  }
}

// The last part of a long record is read beside the rest when its lines are
// plain pairs. Whatever those lines hold, the record, its length and
// interval, and every warning (with its line) or refusal are one reading's.
TEST(RecordInput, TailReadBesideGivesOneReadingsRecord) {
  std::unique_ptr<korvo::Helper> helper = korvo::Helper::start();
  if (!helper) GTEST_SKIP() << "fewer than two cores";
  constexpr int N = 30000;
  auto pair = [](int i, const char* form) {
    char b[64];
    std::snprintf(b, sizeof b, form, i * 0.005, std::sin(0.01 * i));
    return std::string(b);
  };
  auto plain = [&](int i) { return pair(i, "%.3f %.6g"); };
  struct Case {
    const char* name;
    const char* end;                       // of every line
    std::function<std::string(int)> line;  // line i (0-based)
    const char* after = "";
  };
  const Case cases[] = {
      {"LF", "\n", plain},
      {"CR LF", "\r\n", plain},
      {"CR", "\r", plain},
      {"comma, tabs, a third value", "\n", [&](int i) { return pair(i, "\t%.3f ,%.6g\t7 x"); }},
      {"blank lines at the end", "\n", plain, "\n  \n\t\n"},
      {"a late '+' sign", "\n",
       [&](int i) { return pair(i, i == 28000 ? "%.3f +%.6g" : "%.3f %.6g"); }},
      {"a late blank line", "\n", [&](int i) { return i == 27000 ? std::string(" ") : plain(i); }},
      {"a late uneven time", "\n",
       [&](int i) { return i == 29000 ? std::string("0 1") : plain(i); }},
      {"a late word", "\n", [&](int i) { return i == 29500 ? std::string("abc 1") : plain(i); }},
      {"a last value alone", "\n",
       [&](int i) { return i == N - 1 ? std::string("5.0") : plain(i); }},
  };
  struct Reading {
    std::vector<korvo::Real> T, A;
    korvo::Integer NT = 0;
    korvo::Real DT = 0;
    korvo::Notes notes;
    std::string error;
  };
  const std::string path = (scratch("tail") / "accel.dat").string();
  auto read = [&](korvo::Helper* h) {
    Reading r;
    r.T.assign(korvo::NMAX, 0.0f);
    r.A.assign(korvo::NMAX, 0.0f);
    korvo::Grid g;
    try {
      korvo::read_record_file(path.c_str(), r.T.data(), r.A.data(), g, &r.notes, h);
    } catch (const korvo::Error& e) {
      r.error = e.what();
    }
    r.NT = g.NT;
    r.DT = g.DT;
    return r;
  };
  auto same = [&](const std::string& text) {
    spit(path, text);
    const Reading one = read(nullptr);
    // An awake helper takes the tail at once.
    helper->give([] {});
    helper->wait();
    const Reading two = read(helper.get());
    EXPECT_EQ(two.error, one.error);
    EXPECT_EQ(two.notes, one.notes);
    EXPECT_EQ(two.NT, one.NT);
    EXPECT_EQ(two.DT, one.DT);
    EXPECT_TRUE(two.T == one.T && two.A == one.A);
  };
  std::string clean;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text;
    for (int i = 0; i < N; ++i) text += c.line(i) + c.end;
    if (clean.empty()) clean = text;
    same(text + c.after);
  }
  // A few characters of the free-form syntax dropped anywhere in the last
  // half, where the tail begins.
  std::mt19937 random(11);
  const std::string syntax = "0123456789.-+EeDd,/* \t\r\nx";
  for (int trial = 0; trial < 12; ++trial) {
    std::string text = clean;
    for (int k = 0; k < 3; ++k) {
      const std::size_t at = text.size() / 2 + random() % (text.size() / 2);
      text[at] = syntax[random() % syntax.size()];
    }
    SCOPED_TRACE("trial " + std::to_string(trial));
    same(text);
  }
}

// With the answers in a file the console lines are written in blocks, not a
// prompt at a time; a warning still comes after the lines before it in a
// log of both streams.
TEST(RecordInput, WarningKeepsItsPlaceInALogOfBothStreams) {
  const fs::path dir = scratch("both_streams");
  spit(dir / "accel.dat", "0 1\n0.02 2\n0.03 3\n0.5 4\n");
  spit(dir / "soil.dat", kHalfSpace);
  const Outcome o = run_in(dir, "sh -c \"'" KORVO_BINARY "' 2>&1\"", kAnswers);
  const auto prompt = o.out.find("Enter Acceleration Data");
  const auto warning = o.out.find("korvo: accel.dat: the times are not evenly spaced");
  const auto length = o.out.find("NT and DT=");
  ASSERT_NE(warning, std::string::npos) << o.out;
  EXPECT_LT(prompt, warning);
  EXPECT_LT(warning, length);
}
