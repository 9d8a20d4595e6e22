// Wrong input of every kind through the korvo binary: each run must end with
// its one-line report and exit status 1 (or finish normally), and leave each
// result file absent or holding whole lines only, never NaN or Inf.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "support/e2e.h"

namespace {

using e2e::fs::path;

// 100 pairs at DT = 0.01: NF = 128, so S_amp1 holds NOM = 65 lines, amp_dat
// NF/2 = 64 and korvo_dat NT = 100.
std::string record() {
  std::string s;
  for (int i = 0; i < 100; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "%.2f %.6f\n", 0.01 * i, std::sin(0.3 * i) * (i % 7));
    s += line;
  }
  return s;
}

// Three layers in the soil file's fixed columns; the edits below replace
// whole 8-character fields of a layer record.
struct Layer {
  const char *RHO, *VP, *QP, *VS, *QS, *TH;
};
std::string soil(const char* angle, const char* qexp, std::vector<Layer> layers) {
  char head[128];
  std::snprintf(head, sizeof head, "%10s\n%10s\n%10d%10s\n", angle, "1",
                static_cast<int>(layers.size()), qexp);
  std::string s = head;
  for (const Layer& l : layers) {
    char line[64];
    std::snprintf(line, sizeof line, "%8s%8s%8s%8s%8s%8s\n", l.RHO, l.VP, l.QP, l.VS, l.QS, l.TH);
    s += line;
  }
  return s;
}
const Layer SURFACE = {"1.80", "600.00", "20.00", "200.00", "10.00", "20.00"};
const Layer MIDDLE = {"2.00", "1200.00", "40.00", "400.00", "20.00", "30.00"};
const Layer BEDROCK = {"2.20", "2500.00", "80.00", "1000.00", "50.00", "0.00"};
std::string soil_with(Layer a, Layer b = MIDDLE, Layer c = BEDROCK, const char* qexp = "0.500") {
  return soil("0.000", qexp, {a, b, c});
}

// What a result file must look like after the run: absent, or n whole lines
// of its layout's width (S_amp1 80, amp_dat 44, korvo_dat 20 characters).
constexpr int ABSENT = -1;
struct Files {
  int S_amp1, amp_dat, korvo_dat;
};
constexpr Files NONE = {ABSENT, ABSENT, ABSENT};
constexpr Files ALL = {65, 64, 100};

void expect_whole_lines(const path& file, int lines, int width, const std::string& what) {
  SCOPED_TRACE(what + ": " + file.filename().string());
  if (lines == ABSENT) {
    EXPECT_FALSE(e2e::fs::exists(file));
    return;
  }
  ASSERT_TRUE(e2e::fs::is_regular_file(file));
  const std::string text = e2e::slurp(file);
  const std::size_t line = static_cast<std::size_t>(width) + 2;
  EXPECT_EQ(text.size(), line * static_cast<std::size_t>(lines));
  for (std::size_t at = 0; at + line <= text.size(); at += line) {
    ASSERT_EQ(text.substr(at + line - 2, 2), "\r\n") << "line " << at / line + 1;
  }
  EXPECT_EQ(text.find("NaN"), std::string::npos);
  EXPECT_EQ(text.find("Inf"), std::string::npos);
}

struct Case {
  const char* what;
  std::string accel;    // record file "accel.dat"
  std::string soil;     // soil file "soil.dat"
  std::string answers;  // the console
  int status;
  std::vector<const char*> words;  // each must appear in the report
  Files files;
  std::function<void(const path&)> setup;  // before the run, in its folder
};

Case row(const char* what, std::string accel, std::string soil, std::string answers, int status,
         std::vector<const char*> words, Files files, std::function<void(const path&)> setup = {}) {
  return {what, accel, soil, answers, status, words, files, setup};
}

const std::string DEFAULT = "accel.dat\nsoil.dat\n0\n1\n0\n0\n";
const std::string VERTICAL = "accel.dat\nsoil.dat\n1\n1\n0\n0\n";
const std::string PWAVE = "accel.dat\nsoil.dat\n2\n1\n0\n0\n";

// The case run with the stages on one thread in the plain order and
// overlapped on two: the same status, console, report and files either way.
void run_case(const Case& c, const path& dir) {
  SCOPED_TRACE(c.what);
  std::string first;
  for (const char* threads : {"1", "2"}) {
    SCOPED_TRACE(std::string("KORVO_THREADS=") + threads);
    for (const char* f : {"S_amp1", "amp_dat", "korvo_dat"}) e2e::fs::remove_all(dir / f);
    e2e::fs::remove_all(dir / "adir");
    e2e::spit(dir / "accel.dat", c.accel);
    e2e::spit(dir / "soil.dat", c.soil);
    if (c.setup) c.setup(dir);
    const e2e::Outcome r = e2e::run_in(
        dir, std::string("KORVO_THREADS=") + threads + " '" KORVO_BINARY "'", c.answers);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status == 0 && c.words.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      // A refusal (its report the last line), or warnings on a run that goes
      // on: whole lines, each in the common form.
      ASSERT_FALSE(r.err.empty());
      EXPECT_EQ(r.err.back(), '\n') << r.err;
      for (const std::string& line : e2e::lines_of(r.err))
        EXPECT_EQ(line.rfind("korvo: ", 0), 0u) << line;
    }
    for (const char* w : c.words)
      EXPECT_NE(r.err.find(w), std::string::npos) << w << " in " << r.err;
    // A file replaced by a directory or a device is not a result to inspect.
    std::string all = std::to_string(r.status) + "\n" + r.out + r.err;
    auto check = [&](const char* name, int lines, int width) {
      if (e2e::fs::is_symlink(dir / name) || e2e::fs::is_directory(dir / name)) return;
      expect_whole_lines(dir / name, lines, width, c.what);
      all += std::string(name) + "\n" + (e2e::fs::exists(dir / name) ? e2e::slurp(dir / name) : "");
    };
    check("S_amp1", c.files.S_amp1, 80);
    check("amp_dat", c.files.amp_dat, 44);
    check("korvo_dat", c.files.korvo_dat, 20);
    if (first.empty())
      first = all;
    else
      EXPECT_TRUE(all == first) << "the two schedules differ";
  }
}

// Every line of a soil file followed, after its columns, by 5000 characters.
std::string commented(const std::string& soil) {
  std::string out;
  for (char c : soil) {
    if (c == '\n') out += std::string(80, ' ') + "! " + std::string(5000, 'c');
    out += c;
  }
  return out;
}

void in_adir(const path& dir) { e2e::fs::create_directory(dir / "adir"); }

TEST(Hardening, FloatingPointFaults) {
  const std::string rec = record();
  const std::string good = soil_with(SURFACE);
  const Case cases[] = {
      row("control: a sound run", rec, good, DEFAULT, 0, {}, ALL),
      row("DT = 0: empty record file", "", good, DEFAULT, 1,
          {"korvo: accel.dat: the sample interval T(2) - T(1) = 0 is not positive"}, NONE),
      row("DT = 0: one pair at time 0", "0 1.5\n", good, DEFAULT, 1,
          {"T(2) - T(1) = 0 is not positive"}, NONE),
      row("DT = 0: equal first two times", "1 1\n1 2\n2 3\n", good, DEFAULT, 1,
          {"T(2) - T(1) = 0 is not positive"}, NONE),
      row("QS = 0 with damping on", rec,
          soil_with({"1.80", "600.00", "20.00", "200.00", "0.00", "20.00"}), DEFAULT, 1,
          {"(division by zero)", "horizontal/P-wave transfer functions", "frequency line 2",
           "boundary 1 (layers 1 and 2)"},
          NONE),
      // The recursion starts at the bottom: layer 2 enters first at boundary 2.
      row("QP = 0 with damping on, P waves", rec,
          soil_with(SURFACE, {"2.00", "1200.00", "0.00", "400.00", "20.00", "30.00"}), PWAVE, 1,
          {"(division by zero)", "frequency line 2", "boundary 2 (layers 2 and 3)"}, NONE),
      row("QS = 0 with damping off is sound", rec,
          soil_with({"1.80", "600.00", "20.00", "200.00", "0.00", "20.00"}, MIDDLE, BEDROCK,
                    "999."),
          DEFAULT, 0, {}, ALL),
      row("zero shear velocity in a layer", rec,
          soil_with({"1.80", "600.00", "20.00", "0.00", "10.00", "20.00"}), DEFAULT, 1,
          {"(invalid operation)", "transfer functions", "frequency line 2", "boundary 1"}, NONE),
      row("zero velocity of the half-space", rec,
          soil_with(SURFACE, MIDDLE, {"2.20", "2500.00", "80.00", "0.00", "50.00", "0.00"}),
          DEFAULT, 1, {"floating-point fault", "half-space slowness"}, NONE),
      row("zero density below the surface layer", rec,
          soil_with(SURFACE, {"0.00", "1200.00", "40.00", "400.00", "20.00", "30.00"}), DEFAULT, 1,
          {"(invalid operation)", "frequency line 2", "boundary 1 (layers 1 and 2)"}, NONE),
      row("VS = VP in a layer, vertical motion", rec,
          soil_with(SURFACE, {"2.00", "1200.00", "20.00", "1200.00", "20.00", "30.00"}), VERTICAL,
          1, {"floating-point fault", "vertical transfer functions", "boundary 2"}, NONE),
      row("VS = VP in the half-space, vertical motion", rec,
          soil_with(SURFACE, MIDDLE, {"2.20", "2500.00", "80.00", "2500.00", "50.00", "0.00"}),
          VERTICAL, 1, {"(division by zero)", "vertical", "half-space slowness"}, NONE),
      // The P-wave transfer does not use VS; the travel time does, from line 1 on.
      row("VS = 0 with P waves", rec,
          soil_with({"1.80", "600.00", "20.00", "0.00", "10.00", "20.00"}), PWAVE, 1,
          {"(invalid operation)", "travel-time phase factor", "frequency line 1", "layer 1",
           "VS 0"},
          {1, ABSENT, ABSENT}),
      // sin(60 deg) 3000/1000 > 1: the wave decays and grows through 5000 m.
      row("overflow beyond the critical angle in a thick layer", rec,
          soil("60.000", "999.",
               {{"1.80", "6000.00", "20.00", "3000.00", "10.00", "5000.00"}, BEDROCK}),
          DEFAULT, 1, {"(overflow)", "transfer functions", "boundary 1 (layers 1 and 2)"}, NONE),
      row("overflow in the forward transform", "0 3e38\n0.01 3e38\n0.02 3e38\n", good, DEFAULT, 1,
          {"(overflow)", "forward transform"}, NONE),
  };
  const path dir = e2e::scratch("fp");
  for (const Case& c : cases) {
    for (const char* f : {"S_amp1", "amp_dat", "korvo_dat"}) e2e::fs::remove(dir / f);
    run_case(c, dir);
  }
}

TEST(Hardening, BadFilesAndAnswers) {
  const std::string rec = record();
  const std::string good = soil_with(SURFACE);
  const std::string longline = "0 " + std::string(10 * 1024 * 1024, '1') + "\n";
  std::string garbage;
  for (int i = 0; i < 3000; ++i) garbage += static_cast<char>((i * 7919 + 13) % 256);
  const Case cases[] = {
      // Times that do not increase are refused before any result file.
      row("decreasing times", "0.02 1\n0.01 2\n0 3\n", good, DEFAULT, 1,
          {"korvo: accel.dat: the sample interval T(2) - T(1) = -0.01 is not positive"}, NONE),
      row("a count and a step above one column", "4000 0.01\n0.5\n0.25\n-0.5\n", good, DEFAULT, 1,
          {"T(2) - T(1) = -3999.5 is not positive"}, NONE),
      // A column of accelerations read as pairs: the run goes on, with a warning.
      row("one column read as pairs", "0.0\n0.02\n0.0431\n0.01\n-0.02\n0.03\n", good, DEFAULT, 0,
          {"korvo: accel.dat: the times are not evenly spaced: line 5 has -0.0200, expected "
           "0.0862; "
           "is this a two-column record?"},
          {3, 2, 3}),
      // Formats korvo-record converts, and a header line, get a hint.
      row("a PEER record", "PEER STRONG MOTION DATABASE RECORD\n", good, DEFAULT, 1,
          {"\"PEER\" is not a number (this looks like a PEER AT2 record: convert it with "
           "korvo-record)"},
          NONE),
      row("a USGS SMC record", "2 CORRECTED ACCELEROGRAM\n*\n", good, DEFAULT, 1,
          {"(this looks like a USGS SMC record: convert it with korvo-record)"}, NONE),
      row("a column header", "time accel\n0 1\n0.01 2\n", good, DEFAULT, 1,
          {"(the first line looks like a column header: remove it)"}, NONE),
      // The soil file's reports show what was written.
      row("a tab-separated soil file", rec, "0\n1\n3\t0.5\n1.8\t600\t20\t200\t10\t20\n", DEFAULT, 1,
          {"soil.dat, line 3: \"3\\t0.5\" is not an integer (columns 1-10)"}, NONE),
      row("blank-separated layer lines", rec,
          soil("0.000", "0.500", {SURFACE, MIDDLE, BEDROCK}).substr(0, 43) +
              "1.8 600 20 200 10 20\n2.0 1200 40 400 20 30\n2.2 2500 80 1000 50 0\n",
          DEFAULT, 1, {"korvo: soil.dat, line 4 does not follow the fixed columns"}, NONE),
      // No line is too long: the digits are one number, the answer a name
      // of its first 20 characters.
      row("10 MB line in the record file", longline, good, DEFAULT, 1,
          {"accel.dat, line 1:", "is beyond the range of a real"}, NONE),
      row("10 MB line on the console", rec, good, std::string(10 * 1024 * 1024, 'x') + "\n", 1,
          {"cannot open xxxxxxxxxxxxxxxxxxxx: No such file"}, NONE),
      row("a long comment after every soil line", rec, commented(good), DEFAULT, 0, {}, ALL),
      row("pairs after 4100 blanks", std::string(4100, ' ') + rec, good, DEFAULT, 0, {}, ALL),
      row("a 10 MB answer naming the record", rec, good,
          "accel.dat" + std::string(10 * 1024 * 1024, ' ') + "\n" + DEFAULT.substr(10), 0, {}, ALL),
      row("binary garbage as the record", garbage, good, DEFAULT, 1, {"accel.dat, line "}, NONE),
      row("binary garbage as the soil file", rec, garbage, DEFAULT, 1, {"soil.dat, line "}, NONE),
      row("binary garbage on the console", rec, good, garbage, 1, {"korvo: "}, NONE),
      row("record file missing", rec, good, "nothere.dat\n", 1,
          {"cannot open nothere.dat", "No such file"}, NONE),
      row("record file is a directory", rec, good, "adir\nsoil.dat\n", 1,
          {"cannot open adir", "directory"}, NONE, in_adir),
      row("soil file is a directory", rec, good, "accel.dat\nadir\n", 1,
          {"cannot open adir", "directory"}, NONE, in_adir),
      // It opens, then every read fails: the kernel refuses reads at address 0.
      row("record file that cannot be read", rec, good, "/proc/self/mem\n", 1,
          {"/proc/self/mem, line 1: cannot read"}, NONE),
      row("a number out of range", "0 1e39\n", good, DEFAULT, 1,
          {"accel.dat, line 1:", "\"1e39\" is beyond the range of a real"}, NONE),
      row("layer count beyond the columns", rec,
          soil("0.0", "0.5", std::vector<Layer>(51, BEDROCK)), DEFAULT, 1,
          {"soil.dat", "layer count 51"}, NONE),
      row("soil file ends before its last layer", rec,
          soil("0.0", "0.5", {SURFACE, BEDROCK}).substr(0, 60), DEFAULT, 1,
          {"soil.dat, line 5: end of file"}, NONE),
      row("console ends at the wave type", rec, good, "accel.dat\nsoil.dat\n", 1,
          {"answer to the wave-type question: end of input"}, NONE),
      row("console ends at the reference question", rec, good, "accel.dat\nsoil.dat\n0\n3\n", 1,
          {"answer to the reference question", "end of input"}, NONE),
      row("console ends at the band-pass corners", rec, good, "accel.dat\nsoil.dat\n0\n1\n0\n1\n",
          1, {"answer to the band-pass corners", "end of input"}, {65, ABSENT, ABSENT}),
      row("an answer that is not a number", rec, good, "accel.dat\nsoil.dat\nabc\n", 1,
          {"answer to the wave-type question: \"abc\" is not an integer"}, NONE),
      row("control characters in a file name", rec, good, "ac\x1b[2Jc\x0b.dat\n", 1,
          {"cannot open ac?[2Jc?.dat"}, NONE),
  };
  const path dir = e2e::scratch("input");
  for (const Case& c : cases) {
    for (const char* f : {"S_amp1", "amp_dat", "korvo_dat"}) e2e::fs::remove(dir / f);
    e2e::fs::remove_all(dir / "adir");
    run_case(c, dir);
  }
}

TEST(Hardening, OutputsThatCannotBeWritten) {
  const std::string rec = record();
  const std::string good = soil_with(SURFACE);
  auto folder = [](const char* name) {
    return [name](const path& d) { e2e::fs::create_directory(d / name); };
  };
  auto full = [](const char* name) {
    return [name](const path& d) { e2e::fs::create_symlink("/dev/full", d / name); };
  };
  const Case cases[] = {
      row("a directory named S_amp1", rec, good, DEFAULT, 1, {"cannot create S_amp1"}, NONE,
          folder("S_amp1")),
      row("a directory named amp_dat", rec, good, DEFAULT, 1, {"cannot create amp_dat"},
          {65, ABSENT, ABSENT}, folder("amp_dat")),
      row("a directory named korvo_dat", rec, good, DEFAULT, 1, {"cannot create korvo_dat"},
          {65, 64, ABSENT}, folder("korvo_dat")),
      row("S_amp1 on a full device", rec, good, DEFAULT, 1,
          {"cannot write S_amp1", "No space left"}, NONE, full("S_amp1")),
      row("korvo_dat on a full device", rec, good, DEFAULT, 1, {"cannot write korvo_dat"},
          {65, 64, ABSENT}, full("korvo_dat")),
  };
  const path dir = e2e::scratch("output");
  for (const Case& c : cases) {
    for (const char* f : {"S_amp1", "amp_dat", "korvo_dat"}) e2e::fs::remove_all(dir / f);
    run_case(c, dir);
  }
}

// A disk that fills in the middle of a file (a file-size limit stands in for
// it, for root too): the file is cut back to its last whole line and the
// files after it are not created. S_amp1's lines are 82 bytes with CR LF.
TEST(Hardening, FileCutShortKeepsWholeLines) {
  const path dir = e2e::scratch("fsize");
  for (const char* f : {"elc180.txt", "shake91ex.soil", "answers"})
    e2e::spit(dir / f, e2e::slurp(e2e::source_dir() / "examples" / f));
  const std::string answers = e2e::slurp(dir / "answers");
  for (long limit : {20000L, 100001L}) {
    for (const char* f : {"S_amp1", "amp_dat", "korvo_dat"}) e2e::fs::remove(dir / f);
    const e2e::Outcome r = e2e::run_in(
        dir, "trap '' XFSZ; exec prlimit --fsize=" + std::to_string(limit) + " '" KORVO_BINARY "'",
        answers);
    EXPECT_EQ(r.status, 1) << limit;
    EXPECT_EQ(r.err, "korvo: cannot write S_amp1: File too large\n") << limit;
    const std::string s = e2e::slurp(dir / "S_amp1");
    EXPECT_LT(s.size(), static_cast<std::size_t>(limit));
    EXPECT_EQ(s.size() % 82, 0u) << limit;
    if (!s.empty()) {
      EXPECT_EQ(s.substr(s.size() - 2), "\r\n") << limit;
    }
    EXPECT_FALSE(e2e::fs::exists(dir / "amp_dat"));
    EXPECT_FALSE(e2e::fs::exists(dir / "korvo_dat"));
  }
}

// A second run in a folder where one is writing is refused before it creates
// anything: the two would splice each other's result files.
TEST(Hardening, OneRunAFolder) {
  const path dir = e2e::scratch("lock");
  for (const char* f : {"elc180.txt", "shake91ex.soil", "answers"})
    e2e::spit(dir / f, e2e::slurp(e2e::source_dir() / "examples" / f));
  const std::string answers = e2e::slurp(dir / "answers");
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // what a run in progress holds
  const e2e::Outcome busy = e2e::run_korvo(dir, answers);
  EXPECT_EQ(busy.status, 1);
  EXPECT_EQ(busy.err, "korvo: another korvo run is writing its results in this folder\n");
  EXPECT_EQ(busy.out, "");
  EXPECT_FALSE(e2e::fs::exists(dir / "S_amp1"));
  ::close(fd);
  const e2e::Outcome free = e2e::run_korvo(dir, answers);
  EXPECT_EQ(free.status, 0) << free.err;
  EXPECT_TRUE(e2e::fs::exists(dir / "korvo_dat"));
}

// Permissions do not hold for root, who reads and writes regardless.
TEST(Hardening, PermissionsRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  const path dir = e2e::scratch("permissions");
  e2e::spit(dir / "accel.dat", record());
  e2e::spit(dir / "soil.dat", soil_with(SURFACE));
  e2e::fs::permissions(dir / "accel.dat", e2e::fs::perms::none);
  e2e::Outcome r = e2e::run_korvo(dir, DEFAULT);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open accel.dat: Permission denied"), std::string::npos) << r.err;
  e2e::fs::permissions(dir / "accel.dat", e2e::fs::perms::owner_read);

  // The answers are written before the folder is made read-only; what the
  // run reports goes beside it.
  const path side = e2e::scratch("permissions-report");
  e2e::spit(side / "answers.in", DEFAULT);
  e2e::fs::permissions(dir, e2e::fs::perms::owner_read | e2e::fs::perms::owner_exec);
  const e2e::Outcome ro = e2e::run_in(side,
                                      "(cd '" + dir.string() + "' && '" KORVO_BINARY "' < '" +
                                          (side / "answers.in").string() + "')",
                                      "");
  e2e::fs::permissions(dir, e2e::fs::perms::owner_all);
  EXPECT_EQ(ro.status, 1);
  EXPECT_NE(ro.err.find("cannot create S_amp1"), std::string::npos) << ro.err;
}

}  // namespace
