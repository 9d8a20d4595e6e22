// korvo-eql as a command: its files, its refusals, and the outcrop and
// within inputs agreeing through the files it writes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* PROFILE = R"(water_table = 3.0
[curves.sand]
modulus = [[0.0001, 1.0], [0.001, 0.98], [0.01, 0.8], [0.1, 0.4], [1.0, 0.1]]
damping = [[0.0001, 0.6], [0.001, 1.0], [0.01, 4.0], [0.1, 12.0], [1.0, 22.0]]
[[layer]]
name = "sand"
thickness = 8.0
unit_weight = 19.0
vs = 220.0
model = "sand"
[[layer]]
name = "clay"
thickness = 12.0
unit_weight = 18.0
vs = 260.0
model = "darendeli"
plasticity_index = 30
ocr = 1.5
k0 = 0.6
[halfspace]
unit_weight = 22.0
vs = 900.0
damping_pct = 1.0
)";

class EqlCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("korvo_eql_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    write("p.toml", PROFILE);
    // A Ricker pulse at 3 s in 40 s of record, in g: the column is at rest
    // again long before the record ends.
    std::ostringstream rec;
    rec.precision(17);
    for (int i = 0; i < 4000; ++i) {
      const double a = 3.14159265358979 * 2.5 * (i * 0.01 - 3.0);
      rec << i * 0.01 << " " << 0.25 * (1 - 2 * a * a) * std::exp(-a * a) << "\n";
    }
    write("pulse.txt", rec.str());
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  std::string read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  int run(const std::string& args) {
    const std::string cmd = "cd '" + dir_.string() + "' && '" KORVO_EQL_BINARY "' " + args +
                            " > stdout.txt 2> stderr.txt";
    const int s = std::system(cmd.c_str());
    return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  }
  std::vector<std::string> lines(const std::string& name) {
    std::istringstream in(read(name));
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }
  std::vector<double> column(const std::string& name, int col) {
    std::vector<double> out;
    for (const auto& l : lines(name)) {
      if (l.empty() || l[0] == '#') continue;
      std::istringstream in(l);
      double v = 0.0;
      for (int c = 0; c <= col; ++c) in >> v;
      out.push_back(v);
    }
    return out;
  }

  fs::path dir_;
};

}  // namespace

TEST_F(EqlCommand, WritesEveryResultFile) {
  ASSERT_EQ(run("p.toml pulse.txt --at 5 --at 20 -o out"), 0) << read("stderr.txt");
  const std::string console = read("stdout.txt");
  EXPECT_NE(console.find("converged: G/Gmax and damping within"), std::string::npos) << console;
  EXPECT_NE(console.find("surface PGA"), std::string::npos);
  EXPECT_EQ(read("stderr.txt"), "");

  EXPECT_EQ(column("out/surface.txt", 0).size(), 4000u);
  EXPECT_EQ(column("out/depth_5.txt", 1).size(), 4000u);
  EXPECT_EQ(column("out/depth_20.txt", 1).size(), 4000u);
  const auto profile = lines("out/profile.csv");
  ASSERT_GE(profile.size(), 3u);
  EXPECT_EQ(profile[0].rfind("sublayer,layer,top_m,mid_m,thickness_m,unit_weight_kN/m^3,", 0), 0u);
  EXPECT_EQ(profile.back().rfind(std::to_string(profile.size() - 1) + ",halfspace,20,", 0), 0u);
  const auto iterations = lines("out/iterations.csv");
  EXPECT_NE(iterations.back().find(",converged"), std::string::npos);
  EXPECT_EQ(column("out/spectra.txt", 0).size(), 100u);
  // The transfer function starts at 1 (rigid motion) on a grid from 0 Hz.
  const auto freq = column("out/transfer.txt", 0), modulus = column("out/transfer.txt", 3);
  EXPECT_EQ(freq.front(), 0.0);
  EXPECT_NEAR(modulus.front(), 1.0, 1e-12);
  // The surface peak on the console is the peak of surface.txt.
  double pga = 0.0;
  for (double a : column("out/surface.txt", 1)) pga = std::max(pga, std::fabs(a));
  char want[64];
  std::snprintf(want, sizeof want, "surface PGA %.6g g", pga);
  EXPECT_NE(console.find(want), std::string::npos) << console;
  // The half-space row's peak at its top is the peak of the motion at 20 m.
  double base = 0.0;
  for (double a : column("out/depth_20.txt", 1)) base = std::max(base, std::fabs(a));
  const std::string last = profile.back();
  EXPECT_NEAR(std::stod(last.substr(last.rfind(',') + 1)), base, 1e-6 * base);
}

// The motion within the column at the top of the half-space, computed from
// an outcrop run and fed back as --input within, gives the same surface.
TEST_F(EqlCommand, WithinInputReturnsTheOutcropRunsSurface) {
  ASSERT_EQ(run("p.toml pulse.txt --at 20 --tol 1e-10 -o outcrop"), 0) << read("stderr.txt");
  fs::copy_file(dir_ / "outcrop/depth_20.txt", dir_ / "within.txt");
  ASSERT_EQ(run("p.toml within.txt --input within --tol 1e-10 -o within"), 0) << read("stderr.txt");
  const auto a = column("outcrop/surface.txt", 1), b = column("within/surface.txt", 1);
  ASSERT_EQ(a.size(), b.size());
  double peak = 0.0, worst = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    peak = std::max(peak, std::fabs(a[i]));
    worst = std::max(worst, std::fabs(a[i] - b[i]));
  }
  EXPECT_LT(worst, 1e-6 * peak);
  // And the two runs settled on the same properties.
  EXPECT_EQ(lines("outcrop/profile.csv").size(), lines("within/profile.csv").size());
}

TEST_F(EqlCommand, RefusalsNameTheFaultAndWriteNothing) {
  write("bad.toml",
        std::string(PROFILE).replace(std::string(PROFILE).find("vs = 260.0"), 10, "vs = -260.0"));
  write("gap.txt", "0 0.1\n0.01 0.2\n0.05 0.1\n0.03 0.0\n");
  // Undamped, the column's resonances have no bounded response to a within input.
  write("undamped.toml",
        "water_table = 0\n[[layer]]\nname = \"a\"\nthickness = 10\nunit_weight = 18\n"
        "vs = 200\nmodel = \"linear\"\ndamping_pct = 0\n"
        "[halfspace]\nunit_weight = 22\nvs = 800\ndamping_pct = 0\n");
  const struct {
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {"bad.toml pulse.txt", 1, "korvo-eql: bad.toml:15: layer 'clay': 'vs' must be positive"},
      {"p.toml missing.txt", 1, "korvo-eql: cannot open missing.txt"},
      {"undamped.toml pulse.txt --input within", 1, "korvo-eql: --input within needs damping"},
      {"p.toml gap.txt", 1, "korvo-eql: gap.txt:3: time 0.05 is off the even grid"},
      {"p.toml pulse.txt --unit furlong", 2, "korvo-eql: --unit: unknown unit 'furlong'"},
      {"p.toml pulse.txt --scale-pga 0.3 cm", 2, "korvo-eql: The following argument"},
      {"p.toml pulse.txt --scale-pga -1", 2, "korvo-eql: --scale-pga needs a positive peak"},
      {"p.toml pulse.txt --strain-ratio 0.6 --magnitude 7", 2,
       "korvo-eql: --strain-ratio excludes"},
      {"p.toml pulse.txt --tol 0", 2, "korvo-eql: --tol: Value 0 not in range"},
      {"p.toml pulse.txt --input sideways", 2, "korvo-eql: --input: sideways not in"},
      {"p.toml pulse.txt --bogus", 2,
       "korvo-eql: The following argument was not expected: --bogus"},
      {"p.toml", 2, "korvo-eql: RECORD is required"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.args + " -o never"), c.status) << c.args;
    const std::string err = read("stderr.txt");
    EXPECT_EQ(err.rfind(c.message, 0), 0u) << c.args << "\n" << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.args << "\n" << err;
    EXPECT_FALSE(fs::exists(dir_ / "never")) << c.args;
  }
}

// Stopped before the stopping rule holds: the last state is written and the
// run says so on the console and in iterations.csv.
TEST_F(EqlCommand, UnconvergedRunSaysSo) {
  ASSERT_EQ(run("p.toml pulse.txt --max-iter 2 -o out"), 0);
  EXPECT_NE(read("stdout.txt").find("NOT converged"), std::string::npos);
  EXPECT_NE(read("stderr.txt").find("not converged after 2 iterations"), std::string::npos);
  const auto rows = lines("out/iterations.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_NE(rows.back().find(",not converged"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir_ / "out/profile.csv"));
}

// With gnuplot on the PATH, --plot draws the two figures.
TEST_F(EqlCommand, PlotDrawsBothFigures) {
  if (std::system("command -v gnuplot > /dev/null 2>&1") != 0) GTEST_SKIP() << "no gnuplot";
  ASSERT_EQ(run("p.toml pulse.txt --plot -o out"), 0) << read("stderr.txt");
  for (const char* name : {"out/profile.png", "out/spectra.png"}) {
    const std::string png = read(name);
    ASSERT_GT(png.size(), 1000u) << name;
    EXPECT_EQ(png.substr(1, 3), "PNG") << name;
  }
}
