#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "text/text.h"

namespace korvo {
namespace {

// A file source holding the given text, named "test.dat" in error reports.
struct Input {
  Source in;
  explicit Input(const std::string& text, bool console = false) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    in.file = f;
    in.name = console ? "  Enter it:" : "test.dat";
    in.console = console;
  }
  ~Input() {
    std::fclose(in.file);
    in.file = nullptr;
  }
};

// The report main would print for the Error that `expr` throws, matched
// against a pattern.
template <class F>
std::string report_of(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return "korvo: " + one_line(e.what()) + "\n";
  }
  return "no error";
}
template <class F>
testing::AssertionResult reports(F&& f, const std::string& pattern) {
  const std::string report = report_of(f);
  if (std::regex_search(report, std::regex(pattern))) return testing::AssertionSuccess();
  return testing::AssertionFailure() << report;
}
#define EXPECT_REPORT(expr, pattern) EXPECT_TRUE(reports([&] { expr; }, pattern))

constexpr Real KEEP = -7.0f;  // what a variable holds before a read

// Fields longer than the digits kept still convert exactly: the dropped
// digits decide a rounding tie and count as powers of ten.
TEST(ParseNumber, LongFieldsRoundAsTheirWholeText) {
  const std::string tie = "1.000000059604644775390625";  // 1 + 2^-24, a float tie
  const std::string zeros(900, '0');
  struct Case {
    std::string text;
    Parse parse;
    float value;
  } cases[] = {
      {tie, Parse::Ok, 1.0f},                               // ties to even
      {tie + zeros + "1", Parse::Ok, 1.0000001192092896f},  // just above: up
      {tie + zeros, Parse::Ok, 1.0f},                       // zeros only
      {"1" + zeros + "e-900", Parse::Ok, 1.0f},             // dropped integer digits
      {"1" + zeros, Parse::Range, 0.0f},                    // 1e900
      {"0." + zeros + "1", Parse::Ok, 0.0f},                // underflows to zero
      {"-" + zeros + "12.5", Parse::Ok, -12.5f},            // leading zeros are free
      {"1.5+3", Parse::Ok, 1500.0f},
      {"1.5x", Parse::Bad, 0.0f},
  };
  for (const Case& c : cases) {
    Real v = 0.0f;
    EXPECT_EQ(parse_number(c.text, v), c.parse) << c.text.substr(0, 40);
    if (c.parse == Parse::Ok) {
      EXPECT_EQ(v, c.value) << c.text.substr(0, 40);
    }
  }
  double d = 0.0;
  EXPECT_EQ(parse_number("0.1" + zeros + "1", d), Parse::Ok);
  EXPECT_EQ(d, 0.1);
}

TEST(ReadFormatted, RealFields) {
  struct Case {
    Layout layout;
    const char* line;
    Real want[6];
  } cases[] = {
      {layout("(6F8.0)"), "     1.5     2.0", {1.5f, 2.0f, 0, 0, 0, 0}},
      {layout("(6F8.0)"), "1.5,2,3", {1.5f, 2.0f, 3.0f, 0, 0, 0}},
      {layout("(6F8.0)"),
       "    1.80  600.00   20.00  200.00   10.00   20.00",
       {1.8f, 600.0f, 20.0f, 200.0f, 10.0f, 20.0f}},
      {layout("(6F8.0)"), "1234567812345678", {12345678.0f, 12345678.0f, 0, 0, 0, 0}},
      {layout("(6F8.0)"),
       "  1.5+3 1.5E3   1.5d-3  -2.5e-3",
       {1500.0f, 1500.0f, 0.0015f, -0.0025f, 0, 0}},
      {layout("(6F8.0)"), "\t1\t2\t.5,,-.5e1", {12.5f, 0, -5.0f, 0, 0, 0}},  // tabs vanish
      {layout("(6F8.0)"), "1e-50,-1e-50,1.4e-45,7e-46", {0, -0.0f, 1.4e-45f, 0, 0, 0}},
      {layout("(F10.0)"), "  1 2 . 5", {12.5f}},
      {layout("(F10.0)"), "   0.000\r\n", {0}},
      {layout("(F15.0)"), "3.40282356e38", {std::numeric_limits<float>::max()}},
      {layout("(F10.0)"), "0.1", {0.1f}},
      {layout("(F10.0)"), "16777217", {16777216.0f}},  // a tie: to even, as any decimal read
      {layout("(F10.0)"), "0000000000000.5", {0.0f}},  // only the first 10 characters
      {layout("(F10.2)"), "12345", {123.45f}},         // no point: the last d digits
      {layout("(F10.2)"), "1.2345", {1.2345f}},        // a point overrides d
      {layout("(F10.0)"), "\n", {0}},
  };
  for (const Case& c : cases) {
    Input src(c.line);
    Real v[6] = {KEEP, KEEP, KEEP, KEEP, KEEP, KEEP};
    if (c.layout.item[0].repeat == 6)
      read_formatted(src.in, c.layout, {&v[0], &v[1], &v[2], &v[3], &v[4], &v[5]});
    else
      read_formatted(src.in, c.layout, {&v[0]});
    const int n = c.layout.item[0].repeat == 6 ? 6 : 1;
    for (int k = 0; k < n; ++k) {
      EXPECT_EQ(v[k], c.want[k]) << " \"" << c.line << "\" field " << k + 1;
      EXPECT_EQ(std::signbit(v[k]), std::signbit(c.want[k])) << c.line << " field " << k + 1;
    }
  }
}

TEST(ReadFormatted, IntegerFieldsAndSoilHeader) {
  struct Case {
    const char* line;
    Integer want;
  } cases[] = {
      {"        12", 12}, {"12", 12}, {"  -1 2", -12},
      {"\n", 0},          {"+7", 7},  {"2147483647", 2147483647},
  };
  for (const Case& c : cases) {
    Input src(c.line);
    Integer v = 99;
    read_formatted(src.in, layout("(I10)"), {&v});
    EXPECT_EQ(v, c.want) << c.line;
  }
  Input soil("     0.000\n         1\n         3     0.500\nnext\n");
  Real deg = KEEP, qexp = KEEP;
  Integer flag = 99, nl = 99;
  read_formatted(soil.in, layout("(F10.0)"), {&deg});
  read_formatted(soil.in, layout("(I10)"), {&flag});
  read_formatted(soil.in, layout("(I10,F10.0)"), {&nl, &qexp});
  EXPECT_EQ(deg, 0.0f);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(nl, 3);
  EXPECT_EQ(qexp, 0.5f);
  EXPECT_EQ(soil.in.line, 3);
}

TEST(ReadFormatted, TextFields) {
  struct Case {
    Layout layout;
    const char* line;
    int length;
    const char* want;
  } cases[] = {
      {layout("(A20)"), "accel.dat", 20, "accel.dat           "},
      {layout("(A20)"), "a_name_longer_than_twenty.dat", 20, "a_name_longer_than_t"},
      {layout("(A)"), "soil.dat", 12, "soil.dat    "},
      {layout("(A)"), "  soil.dat", 8, "  soil.d"},
      {layout("(A5)"), "abcdefg", 8, "abcde   "},  // w < L: the w characters, then blanks
      {layout("(A10)"), "abcdefghij", 4, "ghij"},  // w >= L: the rightmost L
      {layout("(A10)"), "abc", 4, "abc "},         // the line ends first
      {layout("(A20)"), "\n", 6, "      "},
  };
  for (const Case& c : cases) {
    Input src(c.line);
    char text[32];
    read_formatted(src.in, c.layout, {Target(text, c.length)});
    EXPECT_EQ(std::string(text, static_cast<std::size_t>(c.length)), c.want)
        << " \"" << c.line << "\"";
  }
}

TEST(ReadFormatted, Failures) {
  struct Case {
    Layout layout;
    const char* text;
    const char* message;
  } cases[] = {
      {layout("(I10)"), "1.5", "korvo: test.dat, line 1: \"1.5\" is not an integer"},
      {layout("(I10)"), "-", "is not an integer"},
      {layout("(I10)"), "2147483648", "\"2147483648\" is outside the range of an integer"},
      {layout("(I12)"), "-2147483649", "outside the range"},
      {layout("(F10.0)"), "1.5x", "\"1.5x\" is not a number"},
      {layout("(F10.0)"), ".", "is not a number"},
      {layout("(F10.0)"), "1.5e", "is not a number"},
      {layout("(F10.0)"), "1.2.3", "is not a number"},
      {layout("(F10.0)"), "1e39", "\"1e39\" is beyond the range of a real"},
      {layout("(F15.0)"), "-3.4028236e38", "beyond the range"},
      {layout("(F10.0)"), "", "korvo: test.dat, line 1: end of file"},
      {layout("(F10.0)"), "\x01\x02\xff", "\"\\?\\?\xff\" is not a number"},
  };
  for (const Case& c : cases) {
    Input src(c.text);
    Real r = 0;
    Integer i = 0;
    if (c.layout.item[0].code == 'I') {
      EXPECT_REPORT(read_formatted(src.in, c.layout, {&i}), c.message) << c.text;
    } else {
      EXPECT_REPORT(read_formatted(src.in, c.layout, {&r}), c.message) << c.text;
    }
  }
  Input second("1\nx\n");
  Integer a = 0;
  read_formatted(second.in, layout("(I10)"), {&a});
  EXPECT_REPORT(read_formatted(second.in, layout("(I10)"), {&a}),
                "test.dat, line 2: \"x\" is not an integer");
  Input console("", true);
  char name[20];
  EXPECT_REPORT(read_formatted(console.in, layout("(A20)"), {Target(name, 20)}),
                "^korvo: answer to Enter it:: end of input\n$");
}

TEST(Records, LineEndsAndLength) {
  Input ends("1 2\r3 4\r\n5 6\n\n7 8");
  Real a = KEEP, b = KEEP;
  for (Real want : {1.0f, 3.0f, 5.0f, 7.0f}) {
    ASSERT_TRUE(read_list(ends.in, {&a, &b}));
    EXPECT_EQ(a, want);
    EXPECT_EQ(b, want + 1);
  }
  EXPECT_FALSE(read_list(ends.in, {&a}));
}

// No line is too long: a formatted read takes its columns and passes over the
// rest, a free-form read streams through the line, so that values after any
// number of blanks, values across the held chunks and a number of a million
// digits all read (or are refused) as on a short line.
TEST(Records, AnyLength) {
  const std::string far(10000, ' '), million(1000000, '7');
  Real a = KEEP, b = KEEP;
  Input spaced(far + "0.5 2.5\n1.0" + far + "3.5\n");
  ASSERT_TRUE(read_list(spaced.in, {&a, &b}));
  EXPECT_EQ(a, 0.5f);
  EXPECT_EQ(b, 2.5f);
  ASSERT_TRUE(read_list(spaced.in, {&a, &b}));
  EXPECT_EQ(b, 3.5f);
  EXPECT_EQ(spaced.in.line, 2);

  Input across(std::string(RECORD_KEEP - 2, ' ') + "12.75 8\n");  // "12.75" over the chunk end
  ASSERT_TRUE(read_list(across.in, {&a, &b}));
  EXPECT_EQ(a, 12.75f);
  EXPECT_EQ(b, 8.0f);

  Input tiny("0." + million + "1 4\n-" + million + "e-1000000 5\n");
  ASSERT_TRUE(read_list(tiny.in, {&a, &b}));
  EXPECT_EQ(a, 0.77777779f);  // 0.777...71, 7/9 to the nearest Real
  EXPECT_EQ(b, 4.0f);
  ASSERT_TRUE(read_list(tiny.in, {&a, &b}));
  EXPECT_EQ(a, -0.77777779f);
  Input huge(million + "\n");
  EXPECT_REPORT(read_list(huge.in, {&a}),
                "test.dat, line 1: \"7{40}\\.\\.\\.\" is beyond the range of a real");

  // Six fields, then a long comment; the next record is the next line.
  Input soil("     1.8   600.0" + far + "x\n     2.0\n");
  Real c = KEEP, d = KEEP;
  read_formatted(soil.in, layout("(6F8.0)"), {&a, &b, &c});
  EXPECT_EQ(b, 600.0f);
  EXPECT_EQ(c, 0.0f);
  read_formatted(soil.in, layout("(F8.0)"), {&d});
  EXPECT_EQ(d, 2.0f);

  // A long answer on the console: its first 20 characters are the name, and
  // the next question reads the next line.
  Input console("accel.dat" + far + "tail\n1\n", true);
  char name[20];
  read_formatted(console.in, layout("(A20)"), {Target(name, 20)});
  EXPECT_EQ(std::string(name, 20), "accel.dat           ");
  Source next = console_in("the next question", console.in.file);
  Integer i = 0;
  ASSERT_TRUE(read_list(next, {&i}));
  EXPECT_EQ(i, 1);
}

TEST(ReadList, Values) {
  struct Case {
    const char* text;
    Real want[3];
  } cases[] = {
      {"3*1.5", {1.5f, 1.5f, 1.5f}},
      {",2,3", {KEEP, 2.0f, 3.0f}},  // null value keeps the variable
      {"1 /", {1.0f, KEEP, KEEP}},   // slash ends the statement
      {"1/2 3", {1.0f, KEEP, KEEP}},
      {"1 , 2 ,3", {1.0f, 2.0f, 3.0f}},  // blanks around a comma: one separator
      {"1,,3", {1.0f, KEEP, 3.0f}},
      {"1,\n,3", {1.0f, KEEP, 3.0f}},
      {"1\n,2,3", {1.0f, 2.0f, 3.0f}},  // a line end then a comma: one separator
      {"2* 5", {KEEP, KEEP, 5.0f}},     // r* alone: r null values
      {"2*,7", {KEEP, KEEP, 7.0f}},
      {"\n  \n\t1\n\n2\n3", {1.0f, 2.0f, 3.0f}},  // blank lines skipped
      {"1 1.5D2 -2.5E-3", {1.0f, 150.0f, -0.0025f}},
      {"1.5+3\t1e-50 4*9", {1500.0f, 0.0f, 9.0f}},
      {"1 2 3 garbage that is never read", {1.0f, 2.0f, 3.0f}},
  };
  for (const Case& c : cases) {
    Input src(c.text);
    Real v[3] = {KEEP, KEEP, KEEP};
    ASSERT_TRUE(read_list(src.in, {&v[0], &v[1], &v[2]})) << c.text;
    for (int k = 0; k < 3; ++k) EXPECT_EQ(v[k], c.want[k]) << c.text << " value " << k + 1;
  }
}

// Plain numbers take a shorter road than the scan; it must land on the same
// bits, above all where the rounding is hard: ties between two Reals, more
// digits than a Real holds exactly, powers of ten at the ends of the exact
// range, subnormals and their underflow, the largest Real, signed zeros.
TEST(ReadList, PlainNumbersConvertAsTheScanDoes) {
  std::vector<std::string> texts = {"1.000000059604644775390625",
                                    "1.0000000596046447753906251",
                                    "1.00000005960464477539062",
                                    "16777216",
                                    "16777217",
                                    "16777219",
                                    "167772170e-1",
                                    "123456789",
                                    "999999999e-10",
                                    "16777216e10",
                                    "16777216e-10",
                                    "1e10",
                                    "1e11",
                                    "1e-10",
                                    "1e-11",
                                    ".1e11",
                                    "0.3",
                                    "-.1234E-02",
                                    "5.",
                                    ".5",
                                    "0.000000000000000000000000000001",
                                    "3.4028235e38",
                                    "3.40282356e38",
                                    "1.17549435e-38",
                                    "1.4e-45",
                                    "7.0065e-46",
                                    "-0",
                                    "-0.0e0",
                                    "0e99",
                                    "00000000000000000000001.5",
                                    "4294967296",
                                    "8589934593e-3"};
  // Decimal neighbours of many Reals, printed with a few to nine digits.
  std::uint32_t bits = 0x3f800001u;
  for (int k = 0; k < 400; ++k) {
    bits = bits * 1664525u + 1013904223u;
    const float x = std::bit_cast<float>((bits & 0x807fffffu) | ((bits % 200u + 27u) << 23));
    char t[40];
    std::snprintf(t, sizeof t, "%.*e", k % 9, static_cast<double>(x));
    texts.push_back(t);
    std::snprintf(t, sizeof t, "%.*f", k % 12, static_cast<double>(x));
    texts.push_back(t);
  }
  std::string file;
  for (const std::string& t : texts) file += "  " + t + ",\t" + t + "\n";
  Input src(file);
  for (const std::string& t : texts) {
    Real want = KEEP, a = KEEP, b = KEEP;
    ASSERT_EQ(parse_number(t, want), Parse::Ok) << t;
    ASSERT_TRUE(read_list(src.in, {&a, &b})) << t;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a), std::bit_cast<std::uint32_t>(want)) << t;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(b), std::bit_cast<std::uint32_t>(want)) << t;
  }
}

TEST(ReadList, StatementsStartOnNewLines) {
  Input src("0.0 1.5 9.9\n7 8\n\n1,2\n 3\n4");
  Real a = KEEP, b = KEEP;
  ASSERT_TRUE(read_list(src.in, {&a, &b}));
  EXPECT_EQ(a, 0.0f);
  EXPECT_EQ(b, 1.5f);
  ASSERT_TRUE(read_list(src.in, {&a, &b}));
  EXPECT_EQ(a, 7.0f);
  EXPECT_EQ(b, 8.0f);
  ASSERT_TRUE(read_list(src.in, {&a}));
  EXPECT_EQ(a, 1.0f);
  // A pair split over two lines is one pair; a half pair is the end.
  ASSERT_TRUE(read_list(src.in, {&a, &b}));
  EXPECT_EQ(a, 3.0f);
  EXPECT_EQ(b, 4.0f);
  EXPECT_FALSE(read_list(src.in, {&a, &b}));
  Input half("1 2\n3\n");
  ASSERT_TRUE(read_list(half.in, {&a, &b}));
  EXPECT_FALSE(read_list(half.in, {&a, &b}));
  EXPECT_EQ(a, 3.0f);  // stored before the end was met
  Input empty("");
  EXPECT_FALSE(read_list(empty.in, {&a}));
}

TEST(ReadList, IntegersAndText) {
  Input src("0\n-2147483648 2147483647\n 2*4\n name 5\n");
  Integer i = 99, j = 99;
  char text[6];
  ASSERT_TRUE(read_list(src.in, {&i}));
  EXPECT_EQ(i, 0);
  ASSERT_TRUE(read_list(src.in, {&i, &j}));
  EXPECT_EQ(i, std::numeric_limits<Integer>::min());
  EXPECT_EQ(j, 2147483647);
  ASSERT_TRUE(read_list(src.in, {&i, &j}));
  EXPECT_EQ(i, 4);
  EXPECT_EQ(j, 4);
  ASSERT_TRUE(read_list(src.in, {Target(text, 6), &i}));
  EXPECT_EQ(std::string(text, 6), "name  ");
  EXPECT_EQ(i, 5);
}

TEST(ReadList, Failures) {
  struct Case {
    const char* text;
    bool integer;
    const char* message;
  } cases[] = {
      {"abc", false, "korvo: test.dat, line 1: \"abc\" is not a number"},
      {"1.5", true, "\"1.5\" is not an integer"},
      {"2147483648", true, "outside the range of an integer"},
      {"-2147483649", true, "outside the range of an integer"},
      {"1e39", false, "beyond the range of a real"},
      {"0*1", false, "\"0\\*1\" has a repeat count of zero"},
      {"2*3*4", false, "has a second repeat count"},
      {"x*1", false, "repeat count that is not a number"},
      {"*1", false, "repeat count that is not a number"},
      {"1..5", false, "is not a number"},
      {"\n\n  1+", false, "line 3: \"1\\+\" is not a number"},
  };
  Input nul(
      std::string("1\0"
                  "2",
                  3));
  Real r = 0;
  EXPECT_REPORT(read_list(nul.in, {&r}), "\"1\\?2\" is not a number");
  for (const Case& c : cases) {
    Input src(c.text);
    Integer i = 0;
    if (c.integer) {
      EXPECT_REPORT(read_list(src.in, {&i}), c.message) << c.text;
    } else {
      EXPECT_REPORT(read_list(src.in, {&r}), c.message) << c.text;
    }
  }
}

TEST(ReadList, ConsoleEndIsAnError) {
  Input console("1\n", true);
  Integer a = 0, b = 0;
  EXPECT_REPORT(read_list(console.in, {&a, &b}), "^korvo: answer to Enter it:: end of input\n$");
  Input garbage(std::string("\x01\x02 \xfe\xff,\x7f\x00", 8), true);
  EXPECT_REPORT(read_list(garbage.in, {&a, &b}),
                "^korvo: answer to Enter it:: \"\\?\\?\" is not an integer\n$");
}

}  // namespace
}  // namespace korvo
