#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "run/run.h"

using namespace korvo;

namespace {

struct Soil : Profile {
  std::string console;  // what the console showed
};

// Answers the prompt from `answers` and reads the profile.
Soil read_soil(const std::string& answers) {
  std::FILE* in_file = fmemopen(const_cast<char*>(answers.data()), answers.size(), "r");
  std::FILE* out_file = std::tmpfile();
  Console con;
  con.out.file = out_file;
  con.answers = in_file;
  Soil s;
  try {
    static_cast<Profile&>(s) = read_soil_profile(con);
  } catch (...) {
    std::fclose(out_file);
    std::fclose(in_file);
    throw;
  }
  std::fflush(out_file);
  std::rewind(out_file);
  for (int ch; (ch = std::fgetc(out_file)) != EOF;) s.console += static_cast<char>(ch);
  std::fclose(out_file);
  std::fclose(in_file);
  return s;
}

std::string refusal(const std::string& answers) {
  try {
    read_soil(answers);
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

// Each test in a fresh working directory: names are short and relative.
class SoilFile : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvo-soil-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  static void write(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
  }

 private:
  std::filesystem::path dir_, old_;
};

// Three header records: angle, flag, layer count and exponent.
std::string header(const char* angle, const char* flag, const char* nl_qexp) {
  return std::string(angle) + "\n" + flag + "\n" + nl_qexp + "\n";
}

const std::string ROCK = "     2.4  3500.0    80.0  1500.0    60.0     0.0\n";

}  // namespace

TEST_F(SoilFile, ReadsEveryColumnOfEveryLayer) {
  write("site.dat", header("      30.0", "         1", "         3     0.5") +
                        "     1.8  1500.0    30.0   180.0    12.0    14.0\r\n"
                        "     2.0  1800.0    40.0   400.0    25.0    30.0\r\n" +
                        ROCK + "this line is never read\n");
  const Soil s = read_soil("site.dat\n");
  EXPECT_EQ(s.console, "\nEnter Soil Data File Name \n");
  EXPECT_EQ(s.NL, 3);
  EXPECT_EQ(s.IFLAG, 1);
  EXPECT_EQ(s.QEXP, 0.5f);
  // 30 x 0.017453292f rounded once.
  EXPECT_EQ(s.ANGLE, 0.52359879f);
  const Real want[3][6] = {{1.8f, 1500.0f, 30.0f, 180.0f, 12.0f, 14.0f},
                           {2.0f, 1800.0f, 40.0f, 400.0f, 25.0f, 30.0f},
                           {2.4f, 3500.0f, 80.0f, 1500.0f, 60.0f, 0.0f}};
  for (int k = 0; k < 3; ++k) {
    const Real got[6] = {s.RHO[k], s.VP[k], s.QP[k], s.VS[k], s.QS[k], s.TH[k]};
    for (int c = 0; c < 6; ++c) EXPECT_EQ(got[c], want[k][c]) << "layer " << k + 1 << " col " << c;
  }
  EXPECT_EQ(s.RHO[3], 0.0f);  // nothing beyond NL
}

TEST_F(SoilFile, FileNameAnswers) {
  write("a.dat", header("0", "0", "         1     999.0") + ROCK);
  write("b.dat", header("0", "7", "         1     999.0") + ROCK);
  write("abcdefghijklmnopqrstuvwxyz0123", header("0", "5", "         1     999.0") + ROCK);
  struct Case {
    const char* answers;
    Integer IFLAG;  // tells which file was read
  };
  const Case cases[] = {
      {"a.dat\n", 0},
      {"\n\n\nb.dat\n", 7},                           // empty answers: read again silently
      {" a.dat\nb.dat\n", 7},                         // a leading blank counts as no answer
      {"b.dat   \n", 7},                              // trailing blanks are not part of the name
      {"abcdefghijklmnopqrstuvwxyz0123456789\n", 5},  // cut to 30 characters
  };
  for (const Case& c : cases) {
    const Soil s = read_soil(c.answers);
    EXPECT_EQ(s.IFLAG, c.IFLAG) << c.answers;
    EXPECT_EQ(s.console, "\nEnter Soil Data File Name \n") << "one prompt only: " << c.answers;
  }
}

TEST_F(SoilFile, HeaderValues) {
  struct Case {
    const char* angle;
    const char* nl_qexp;
    Real ANGLE, QEXP;
  };
  const Case cases[] = {
      {"      30.0", "         1     999.0", 0.52359879f, 999.0f},
      {"        30", "         1       999", 0.52359879f, 999.0f},
      {"       0.0", "         1       0.0", 0.0f, 0.0f},
      {"     -45.0", "         1      -0.5", -45.0f * 0.017453292f, -0.5f},
      {"  1 2. 5", "  1,0.25", 12.5f * 0.017453292f, 0.25f},  // blanks ignored; comma ends I10
  };
  for (const Case& c : cases) {
    write("h.dat", header(c.angle, "1", c.nl_qexp) + ROCK);
    const Soil s = read_soil("h.dat\n");
    EXPECT_EQ(s.ANGLE, c.ANGLE) << c.angle;
    EXPECT_EQ(s.QEXP, c.QEXP) << c.nl_qexp;
    EXPECT_EQ(s.NL, 1);
    EXPECT_EQ(s.VS[0], 1500.0f);
  }
}

TEST_F(SoilFile, LayerRecordForms) {
  struct Case {
    const char* record;
    Real want[6];
  };
  const Case cases[] = {
      {"     1.5     2.0", {1.5f, 2.0f, 0.0f, 0.0f, 0.0f, 0.0f}},  // short record
      {"1.5,2,3", {1.5f, 2.0f, 3.0f, 0.0f, 0.0f, 0.0f}},           // commas end fields
      {"2.0,1500,20,300,10,5", {2.0f, 1500.0f, 20.0f, 300.0f, 10.0f, 5.0f}},
      {" 1 2. 5       3  1 0 0     1.5E2    -1.0     2.5",
       {12.5f, 3.0f, 100.0f, 150.0f, -1.0f, 2.5f}},
      {"", {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f}},  // an empty record: all zero
  };
  for (const Case& c : cases) {
    write("l.dat", header("0", "0", "         2       0.0") + c.record + "\n" + ROCK);
    const Soil s = read_soil("l.dat\n");
    const Real got[6] = {s.RHO[0], s.VP[0], s.QP[0], s.VS[0], s.QS[0], s.TH[0]};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(got[k], c.want[k]) << '"' << c.record << "\" field " << k;
    EXPECT_EQ(s.VS[1], 1500.0f);
  }
}

TEST_F(SoilFile, RefusedFiles) {
  write("none.dat", header("0", "0", "         0       0.0") + ROCK);
  write("many.dat", header("0", "0", "        51       0.0") + ROCK);
  write("neg.dat", header("0", "0", "        -3       0.0") + ROCK);
  write("cut.dat", header("0", "0", "         3       0.0") + ROCK + ROCK);
  struct Case {
    const char* answers;
    const char* message;
  };
  const Case cases[] = {
      {"none.dat\n", "none.dat: layer count 0 outside the allowed range 1 to 50"},
      {"many.dat\n", "many.dat: layer count 51 outside the allowed range 1 to 50"},
      {"neg.dat\n", "neg.dat: layer count -3 outside the allowed range 1 to 50"},
      {"cut.dat\n", "cut.dat"},  // ends before its third layer
      {"missing.dat\n", "missing.dat"},
      {"\n\n", "soil data file name"},  // the console ends before a name
  };
  for (const Case& c : cases) {
    EXPECT_NE(refusal(c.answers).find(c.message), std::string::npos) << c.answers;
  }
}
