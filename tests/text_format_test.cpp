#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "text/text.h"

namespace korvo {
namespace {

float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

std::string F(Real v, int w, int d) {
  char out[64];
  return std::string(out, static_cast<std::size_t>(detail::put_F(out, v, w, d)));
}
std::string E(Real v, int w, int d) {
  char out[64];
  return std::string(out, static_cast<std::size_t>(detail::put_E(out, v, w, d)));
}
std::string list_real(Real v) {
  char out[64];
  return std::string(out, static_cast<std::size_t>(detail::put_list_real(out, v)));
}
std::string list_double(double v) {
  char out[64];
  return std::string(out, static_cast<std::size_t>(detail::put_list_double(out, v)));
}
std::string trim(std::string s) { return s.erase(0, s.find_first_not_of(' ')); }

std::string digits(const detail::Decimal& x) {
  return std::string(x.digit, static_cast<std::size_t>(x.count));
}

// Everything written to a sink that is a temporary file.
struct Capture {
  Sink sink;
  explicit Capture(bool console) : sink{std::tmpfile(), "capture", console} {}
  ~Capture() {
    std::fclose(sink.file);
    sink.file = nullptr;
  }
  std::string text() {
    std::fflush(sink.file);
    std::rewind(sink.file);
    std::string s;
    for (int c; (c = std::fgetc(sink.file)) != EOF;) s += static_cast<char>(c);
    return s;
  }
};

TEST(Digits, SeventeenRoundedHalfUpOnTheEighteenth) {
  struct Case {
    double v;
    const char* digits;
    int decpt;
    bool negative;
  } cases[] = {
      // 256.000030517578125 exactly: a tie at 17 digits goes up, not to even.
      {8388609.0 / 32768.0, "25600003051757813", 3, false},
      {0.5, "5", 0, false},
      {-12.5, "125", 2, true},
      {0.0, "", 0, false},
      {-0.0, "", 0, false},
      // 0.1f = 0.100000001490116119384765625: 17 digits, trailing zeros dropped.
      {static_cast<double>(0.1f), "10000000149011612", 0, false},
      // 0.3 = 0.29999999999999998889...: rounds up through the nines.
      {0.3, "29999999999999999", 0, false},
      {0.9999999999999999, "99999999999999989", 0, false},
      {1e300, "10000000000000001", 301, false},  // 1.00000000000000005250...E300
      {5e-324, "49406564584124654", -323, false},
      {static_cast<double>(from_bits(1)), "14012984643248171", -44, false},
      {static_cast<double>(std::numeric_limits<float>::max()), "34028234663852886", 39, false},
  };
  for (const Case& c : cases) {
    const detail::Decimal x = detail::decimal17(c.v);
    EXPECT_EQ(digits(x), c.digits) << c.v;
    EXPECT_EQ(x.decpt, c.decpt) << c.v;
    EXPECT_EQ(x.negative, c.negative) << c.v;
  }
}

TEST(Digits, ShortExpansionAgreesWithExactOne) {
  auto same = [](double v) {
    const detail::Decimal a = detail::decimal17(v), b = detail::decimal17_exact(v);
    return digits(a) == digits(b) && a.decpt == b.decpt && a.negative == b.negative;
  };
  for (std::uint64_t b = 0; b < (1ull << 32); b += 4093) {
    const float v = from_bits(static_cast<std::uint32_t>(b));
    if (std::isfinite(v)) {
      ASSERT_TRUE(same(static_cast<double>(v))) << b;
    }
  }
  std::uint64_t s = 88172645463325252ull;  // xorshift: doubles of every exponent
  for (int k = 0; k < 300000; ++k) {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    const double v = std::bit_cast<double>(s);
    if (std::isfinite(v)) {
      ASSERT_TRUE(same(v)) << std::hexfloat << v;
    }
  }
  // Nearest doubles to decimal boundaries, where the short expansion carries.
  for (double p = 1e-300; p < 1e300; p *= 10) {
    for (double v : {std::nextafter(p, 0.0), p, std::nextafter(p, 1e308), 0.5 * p, 2.5 * p})
      ASSERT_TRUE(same(v)) << v;
  }
}

TEST(FieldF, Edges) {
  struct Case {
    Real v;
    int w, d;
    const char* field;
  } cases[] = {
      {12.3456f, 8, 4, " 12.3456"},
      {0.5f, 8, 4, "   .5000"},
      {-0.5f, 8, 4, "  -.5000"},
      {0.0f, 8, 4, "   .0000"},
      {-0.0f, 8, 4, "   .0000"},
      {0.05f, 8, 4, "   .0500"},
      {0.00006f, 8, 4, "   .0001"},   // the first digit rounds up into view
      {-0.00004f, 8, 4, "   .0000"},  // rounded to nothing: no sign
      {-0.00000001f, 8, 4, "   .0000"},
      {999.99994f, 8, 4, "999.9999"},
      {1000.0f, 8, 4, "********"},
      {-99.99994f, 8, 4, "-99.9999"},
      {-100.0f, 8, 4, "********"},
      {12.3456f, 8, 3, "  12.346"},
      {0.0005f, 8, 3, "    .001"},     // 0.0005f is 0.000500000024...
      {999.99994f, 8, 3, "1000.000"},  // carry adds a digit before the point
      {-999.9995f, 8, 3, "********"},
      {0.125f, 6, 2, "   .13"},  // an exact tie goes up
      {0.375f, 6, 2, "   .38"},
      {-0.125f, 6, 2, "  -.13"},
      {12.5f, 4, 0, " 13."},
      {0.3f, 4, 0, "  0."},  // no digit at all otherwise
      {-0.3f, 4, 0, "  0."},
      {0.7f, 4, 0, "  1."},
      {123456789.0f, 12, 1, " 123456800.0"},  // 7 significant digits, then zeros
      {0.1f, 12, 10, " .1000000000"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(F(c.v, c.w, c.d), c.field) << c.v << " F" << c.w << "." << c.d;
}

TEST(FieldE, Edges) {
  struct Case {
    Real v;
    const char* field;
  } cases[] = {
      {12.345f, "   .1235E+02"},      {-0.000123f, "  -.1230E-03"},
      {0.0f, "   .0000E+00"},         {-0.0f, "   .0000E+00"},
      {9.99996f, "   .1000E+02"},  // carry raises the exponent
      {1.0f, "   .1000E+01"},         {-3.4E38f, "  -.3400E+39"},
      {0.01f, "   .1000E-01"},        {std::numeric_limits<float>::max(), "   .3403E+39"},
      {from_bits(1), "   .1401E-44"}, {1e-40f, "   .1000E-39"},  // 9.99994610...E-41
      {0.12345f, "   .1235E+00"},                                // 0.123450003...
      {0.00012345f, "   .1234E-03"},                             // 0.000123449994...
  };
  for (const Case& c : cases) EXPECT_EQ(E(c.v, 12, 4), c.field) << c.v;
}

TEST(FieldE, Overflow) {
  EXPECT_EQ(E(-0.5f, 9, 4), "*********");
  EXPECT_EQ(E(-0.5f, 10, 4), "-.5000E+00");
  EXPECT_EQ(E(0.5f, 9, 4), ".5000E+00");
}

TEST(Fields, NotFinite) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(F(nan, 8, 4), "     NaN");
  EXPECT_EQ(F(-inf, 8, 4), "    -Inf");
  EXPECT_EQ(E(inf, 12, 4), "         Inf");
  EXPECT_EQ(F(inf, 2, 0), "**");
  EXPECT_EQ(list_real(nan), "            NaN");
  EXPECT_EQ(list_double(-static_cast<double>(inf)), "                    -Inf");
}

TEST(ListForm, Real) {
  struct Case {
    Real v;
    const char* chars;
  } cases[] = {
      {1.0f, "1.000000"},
      {-2.5f, "-2.500000"},
      {6.2831855f, "6.283185"},
      {1234567.0f, "1234567.000000"},
      {9999999.0f, "9999999.000000"},
      {12345678.0f, "1.234568E+07"},
      {1e7f, "1.000000E+07"},
      {0.1f, "1.000000E-01"},
      {0.005f, "5.000000E-03"},
      {0.0f, "0.000000E+00"},
      {-0.0f, "0.000000E+00"},
      {0.01f, "1.000000E-02"},  // 0.0099999997764...: carry into the exponent
      {0.99999994f, "9.999999E-01"},
      {10.24f, "10.240000"},  // 10.2399997711...
      {-3.4E38f, "-3.400000E+38"},
      {from_bits(1), "1.401298E-45"},
  };
  for (const Case& c : cases) {
    const std::string field = list_real(c.v);
    EXPECT_EQ(field.size(), 15u) << c.v;
    EXPECT_EQ(trim(field), c.chars) << c.v;
  }
}

TEST(ListForm, DoubleAndInteger) {
  struct Case {
    double v;
    const char* chars;
  } cases[] = {
      {50.0, "50.000000000000000"},
      {0.25, "2.500000000000000E-001"},
      {0.0, "0.000000000000000E+000"},
      {1e300, "1.000000000000000E+300"},
      {-1.5e-300, "-1.500000000000000E-300"},
      // 1.234567890123456468...: 17 digits give ...4565, which then rounds
      // half up to ...457 (a single rounding would give ...456).
      {1.2345678901234565, "1.234567890123457"},
      // 314.31268f / 6.283185307 = 50.024417194141612696...
      {static_cast<double>(314.31268f) / 6.283185307, "50.024417194141610"},
  };
  for (const Case& c : cases) {
    const std::string field = list_double(c.v);
    EXPECT_EQ(field.size(), 24u) << c.v;
    EXPECT_EQ(trim(field), c.chars) << c.v;
  }
  // 9999999.99999999813...: 16 digits, then zeros.
  EXPECT_EQ(list_double(-std::nextafter(1e7, 0.0)), "-9999999.999999998000000");
  char out[16];
  ASSERT_EQ(detail::put_list_int(out, 2000), 11);
  EXPECT_EQ(std::string(out, 11), "       2000");
  detail::put_list_int(out, std::numeric_limits<Integer>::min());
  EXPECT_EQ(std::string(out, 11), "-2147483648");
}

// Every 4096th float: fields are exactly w wide, asterisks exactly when the
// rounded value needs more room, and each shown value reads back to within
// half a unit of its last digit.
TEST(Fields, SweepOfFloats) {
  auto near = [](double shown, double v, double unit) {
    return std::fabs(shown - v) <= 0.5 * unit * (1 + 1e-9) + std::fabs(v) * 1e-15;
  };
  for (std::uint64_t b = 0; b < (1ull << 32); b += 4096) {
    const float v = from_bits(static_cast<std::uint32_t>(b));
    const double x = static_cast<double>(v);
    const std::string f84 = F(v, 8, 4), f83 = F(v, 8, 3), e124 = E(v, 12, 4);
    const std::string ff = list_real(v);
    ASSERT_EQ(f84.size(), 8u);
    ASSERT_EQ(f83.size(), 8u);
    ASSERT_EQ(e124.size(), 12u);
    ASSERT_EQ(ff.size(), 15u);
    if (!std::isfinite(v)) continue;
    ASSERT_EQ(f84 == "********", x >= 999.99995 || x <= -99.99995) << x;
    ASSERT_EQ(f83 == "********", x >= 9999.9995 || x <= -999.9995) << x;
    if (f84[0] != '*') {
      ASSERT_TRUE(near(std::strtod(f84.c_str(), nullptr), x, 1e-4)) << f84;
    }
    if (f83[0] != '*') {
      ASSERT_TRUE(near(std::strtod(f83.c_str(), nullptr), x, 1e-3)) << f83;
    }
    ASSERT_NE(e124[0], '*');
    const int e = std::atoi(e124.c_str() + 9);
    ASSERT_TRUE(near(std::strtod(e124.c_str(), nullptr), x, std::pow(10.0, e - 4))) << e124;
    const std::size_t mark = ff.find('E');
    const std::size_t point = ff.find('.');
    const std::size_t first = ff.find_first_of("0123456789");
    const double unit = mark == std::string::npos
                            ? std::pow(10.0, static_cast<double>(point - first) - 7)
                            : std::pow(10.0, std::atoi(ff.c_str() + mark + 1) - 6);
    ASSERT_TRUE(near(std::strtod(ff.c_str(), nullptr), x, unit)) << ff;
  }
}

// The fields of the result files are formed by one scaling in double, the
// values near a decimal midpoint by the exact expansion. Ties (exact binary
// fractions at the rounding place), their neighbours, powers of ten, the
// ends of the range: each against its hand-rounded field and the exact path.
TEST(FastFields, HardInputsAgreeWithExactPath) {
  const float up = std::numeric_limits<float>::infinity();
  auto below = [](float v) { return std::nextafter(v, 0.0f); };
  auto above = [up](float v) { return std::nextafter(v, up); };
  struct Case {
    char code;
    int w, d;
    Real v;
    const char* field;
  } cases[] = {
      {'F', 8, 4, 0.03125f, "   .0313"},  // 1/32: a tie at the fourth place goes up
      {'F', 8, 4, below(0.03125f), "   .0312"},
      {'F', 8, 4, above(0.03125f), "   .0313"},
      {'F', 8, 4, -2.71875f, " -2.7188"},  // ties round the magnitude up
      {'F', 8, 4, 0.00005f, "   .0000"},   // 4.99999987e-05
      {'F', 8, 3, 0.0625f, "    .063"},
      {'F', 8, 3, 4095.9375f, "4095.938"},  // seven digits, tie at the seventh
      {'F', 8, 3, below(4095.9375f), "4095.937"},
      {'F', 4, 0, 2.5f, "  3."},
      {'F', 4, 0, 0.5f, "  1."},
      {'F', 12, 1, 1234567.5f, "   1234568.0"},
      {'E', 12, 4, 1.0625f, "   .1063E+01"},
      {'E', 12, 4, below(1.0625f), "   .1062E+01"},
      {'E', 12, 4, 12345.0f, "   .1235E+05"},
      {'E', 12, 4, below(12345.0f), "   .1234E+05"},
      {'E', 12, 4, 99995.0f, "   .1000E+06"},  // the tie carries into the exponent
      // 3.94149999999996...E-35: nine nines after the 4, below the midpoint.
      {'E', 12, 4, 0x1.a321d6p-115f, "   .3941E-34"},
      {'E', 12, 4, 1e10f, "   .1000E+11"},
      {'E', 12, 4, below(1e10f), "   .1000E+11"},  // 9999998976
      {'E', 12, 4, 1e-10f, "   .1000E-09"},
      {'E', 12, 4, from_bits(1), "   .1401E-44"},  // subnormals
      {'E', 12, 4, from_bits(0x007fffff), "   .1175E-37"},
      {'E', 12, 4, std::numeric_limits<float>::min(), "   .1175E-37"},
      {'E', 12, 4, -std::numeric_limits<float>::max(), "  -.3403E+39"},
      {'F', 8, 4, std::numeric_limits<float>::max(), "********"},
      {'F', 8, 4, -from_bits(1), "   .0000"},
  };
  for (const Case& c : cases) {
    char fast[64], exact[64];
    const bool f = c.code == 'F';
    const int n = f ? detail::put_F(fast, c.v, c.w, c.d) : detail::put_E(fast, c.v, c.w, c.d);
    const int m =
        f ? detail::put_F_exact(exact, c.v, c.w, c.d) : detail::put_E_exact(exact, c.v, c.w, c.d);
    const std::string got(fast, static_cast<std::size_t>(n));
    EXPECT_EQ(got, std::string(exact, static_cast<std::size_t>(m))) << std::hexfloat << c.v;
    if (*c.field) {
      EXPECT_EQ(got, c.field) << std::hexfloat << c.v;
    }
  }
}

// Every 4093rd float in the forms of the result files and a few others (no
// digits, many digits, fields too narrow): the fast fields are the exact ones.
void expect_fast_is_exact(std::uint64_t step, bool result_forms_only) {
  const struct {
    char code;
    int w, d;
  } forms[] = {{'F', 8, 4}, {'F', 8, 3},  {'E', 12, 4},  {'F', 4, 0},  {'F', 9, 2},
               {'E', 8, 0}, {'E', 14, 9}, {'F', 40, 30}, {'F', 60, 5}, {'E', 9, 4}};
  const int count = result_forms_only ? 3 : static_cast<int>(std::size(forms));
  for (std::uint64_t b = 0; b < (1ull << 32); b += step) {
    const float v = from_bits(static_cast<std::uint32_t>(b));
    for (int k = 0; k < count; ++k) {
      const auto& f = forms[k];
      char fast[64], exact[64];
      const bool F = f.code == 'F';
      const int n = F ? detail::put_F(fast, v, f.w, f.d) : detail::put_E(fast, v, f.w, f.d);
      const int m =
          F ? detail::put_F_exact(exact, v, f.w, f.d) : detail::put_E_exact(exact, v, f.w, f.d);
      ASSERT_EQ(std::string(fast, static_cast<std::size_t>(n)),
                std::string(exact, static_cast<std::size_t>(m)))
          << std::hexfloat << v << " " << f.code << f.w << "." << f.d;
    }
  }
}

TEST(FastFields, SweepAgreesWithExactPath) { expect_fast_is_exact(4093, false); }

// All 2^32 floats in F8.4, F8.3 and E12.4: a quarter of an hour on one core.
// Run it with --gtest_also_run_disabled_tests after changing the fast path.
TEST(FastFields, DISABLED_EveryFloatAgreesWithExactPath) { expect_fast_is_exact(1, true); }

TEST(WriteList, NumbersAfterTheFirstGetOneMoreBlank) {
  Capture file(false), con(true);
  write_list(file.sink, {"NT and DT=", Integer{2000}, 0.005f});
  write_list(con.sink, {"NT and DT=", Integer{2000}, 0.005f});
  EXPECT_EQ(file.text(), " NT and DT=       2000    5.000000E-03\r\n");
  EXPECT_EQ(con.text(), "NT and DT=       2000    5.000000E-03\n");
}

TEST(WriteList, RunLines) {
  Capture con(true);
  write_list(con.sink, {" Highest Frequency (hz)=", static_cast<double>(314.31268f) / 6.283185307});
  // 1000 pairs at 0.01: the grid of a reference run.
  const Real DT = 0.01f;
  const Integer NF = 1024, NOM = 513;
  const Real DUR = real(NF * wide(DT));
  const Real DOM = real(wide(TWOPI) / (NF * wide(DT)));
  const Real EOM = real(NOM * wide(DOM));
  write_list(con.sink, {" DUR,DOM,NOM,EOM=", DUR, DOM, NOM, EOM});
  write_list(con.sink, {" Highest Frequency (hz)=", wide(EOM) / TWOPI_D});
  write_list(con.sink, {" Initial and final times =", 0.0f, DUR - DT});
  write_list(con.sink);
  EXPECT_EQ(con.text(),
            " Highest Frequency (hz)=      50.024417194141610\n"
            " DUR,DOM,NOM,EOM=      10.240000    6.135923E-01         513      314.772900\n"
            " Highest Frequency (hz)=      50.097656250139890\n"
            " Initial and final times =   0.000000E+00       10.230000\n"
            "\n");
}

TEST(WriteList, LongLinesBreak) {
  Capture file(false);
  const Real one = 1.0f;
  write_list(file.sink, {one, one, one, one, one, one, one, one});
  const std::string first = "       1.000000", later = "        1.000000";
  EXPECT_EQ(file.text(), " " + first + later + later + later + later + "\r\n" + " " + first +
                             later + later + "\r\n");
  Capture text(false);
  const std::string a(100, 'a');
  write_list(text.sink, {a.c_str(), Integer{7}});
  EXPECT_EQ(text.text(),
            " " + std::string(79, 'a') + "\r\n " + std::string(21, 'a') + "          7\r\n");
  Capture empty(false);
  write_list(empty.sink);
  EXPECT_EQ(empty.text(), " \r\n");
}

TEST(WriteFormatted, ResultLines) {
  Capture file(false);
  write_formatted(file.sink, layout("(F8.4,6E12.4)"), {0.0977f, -0.002745f, -0.002457f, 0.003684f});
  write_formatted(file.sink, layout("(F8.3,3E12.4)"), {0.01f, 0.0003776f});
  write_formatted(file.sink, layout("(F8.4,6E12.4)"), {0.0f, 2.0f, 0.0f, 2.0f, 1.0f, 0.0f, 1.0f});
  EXPECT_EQ(file.text(),
            "   .0977  -.2745E-02  -.2457E-02   .3684E-02\r\n"
            "    .010   .3776E-03\r\n"
            "   .0000   .2000E+01   .0000E+00   .2000E+01   .1000E+01   .0000E+00   .1000E+01\r\n");
}

TEST(WriteFormatted, PromptsAndText) {
  Capture con(true), file(false);
  for (Sink* s : {&con.sink, &file.sink}) {
    write_formatted(*s, layout("(/,1X,'Enter Acceleration Data (1 component)')"));
    write_formatted(*s, layout("(/,' Enter Soil Data File Name ')"));
  }
  EXPECT_EQ(con.text(), "\nEnter Acceleration Data (1 component)\n\nEnter Soil Data File Name \n");
  EXPECT_EQ(file.text(),
            "\r\n Enter Acceleration Data (1 component)\r\n"
            "\r\n Enter Soil Data File Name \r\n");
  Capture more(false);
  write_formatted(more.sink, layout("( 2X , 'it''s', I4 ,A6, A2)"), {Integer{-12}, "abc", "abc"});
  write_formatted(more.sink, layout("(F6.2,' s')"), {1.0f});       // text after the last value
  write_formatted(more.sink, layout("(F6.2,F6.2,' s')"), {1.0f});  // the record ends at a field
  EXPECT_EQ(more.text(), "  it's -12   abcab\r\n  1.00 s\r\n  1.00\r\n");
}

// Layouts compile once, at compile time; a malformed one does not compile.
static_assert(layout("(F8.4,6E12.4)").count == 2 && layout("(F8.4,6E12.4)").item[1].repeat == 6 &&
              layout("(F8.4,6E12.4)").item[1].w == 12 && layout("(F8.4,6E12.4)").item[1].d == 4);
static_assert(layout("(/,' Enter Soil Data File Name ')").item[1].text ==
              " Enter Soil Data File Name ");

TEST(WriteFormatted, MismatchesAreErrors) {
  Capture file(false);
  const struct {
    std::function<void()> write;
    const char* message;
  } cases[] = {
      {[&] { write_formatted(file.sink, layout("(I5)"), {1.0f}); },
       "layout field does not match its value"},
      {[&] {
         write_formatted(file.sink, layout("(F6.2)"), {1.0f, 2.0f});
       },
       "more values than fields in a layout"},
      {[&] {
         write_formatted(file.sink, layout("(F6.2)"), {std::numeric_limits<float>::infinity()});
       },
       "capture: a value to be written is not finite"},
  };
  for (const auto& c : cases) {
    try {
      c.write();
      ADD_FAILURE() << c.message;
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  EXPECT_EQ(file.text(), "");  // nothing of a refused record
}

// A run that ends with an error closes its files on the way out, so every
// record written reaches its file; the normal end writes the stop line.
TEST(EndOfRun, StopAndErrorLeaveWholeRecords) {
  Capture con(true);
  write_stop(con.sink);
  EXPECT_EQ(con.text(), "Stop - Program terminated.\r\n");

  const std::string kept = testing::TempDir() + "korvo_kept";
  try {
    Sink s;
    create_output(s, kept.c_str());
    write_formatted(s, layout("(F8.3,3E12.4)"), {0.5f, 1.0f});
    throw Error("disk on fire");
  } catch (const Error&) {
  }
  std::FILE* f = std::fopen(kept.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char buf[64] = {};
  EXPECT_EQ(std::fread(buf, 1, sizeof buf - 1, f), 22u);
  std::fclose(f);
  EXPECT_STREQ(buf, "    .500   .1000E+01\r\n");
  std::remove(kept.c_str());
}

// A file's records are held and written in large blocks: more records than
// one block holds arrive whole and in order, also when the run ends with an
// error before the file is closed.
TEST(EndOfRun, BufferedRecordsArriveWholeAndInOrder) {
  const std::string name = testing::TempDir() + "korvo_buffered";
  const int records = 3 * SINK_BUFFER / 22 + 7;  // 22 bytes each: three blocks and a part
  try {
    Sink s;
    create_output(s, name.c_str());
    for (int k = 0; k < records; ++k)
      write_formatted(s, layout("(F8.3,3E12.4)"), {static_cast<Real>(k), 1.0f});
    throw Error("disk on fire");
  } catch (const Error&) {
  }
  std::FILE* f = std::fopen(name.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::string text;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  std::fclose(f);
  std::remove(name.c_str());
  ASSERT_EQ(text.size(), static_cast<std::size_t>(records) * 22);
  EXPECT_EQ(text.substr(0, 22), "    .000   .1000E+01\r\n");
  for (int k : {1, 2979, records - 1}) {
    char want[40];
    std::snprintf(want, sizeof want, "%4d.000   .1000E+01\r\n", k);
    EXPECT_EQ(text.substr(static_cast<std::size_t>(k) * 22, 22), want) << k;
  }
}

// Records held before their file may be created: a sink that goes away
// holding them leaves the file as it was; once created, the file gets the
// held records and then the later ones, in order, past every buffer's size.
TEST(EndOfRun, HeldRecordsReachTheFileOnlyOnceCreated) {
  const std::string name = testing::TempDir() + "korvo_held";
  auto record = [](Sink& s, int k) {
    write_formatted(s, layout("(F8.3,3E12.4)"), {static_cast<Real>(k), 1.0f});
  };
  auto text = [&] {
    std::FILE* f = std::fopen(name.c_str(), "rb");
    std::string t;
    char buf[4096];
    for (std::size_t n; f && (n = std::fread(buf, 1, sizeof buf, f)) > 0;) t.append(buf, n);
    if (f) std::fclose(f);
    return t;
  };
  const int records = 3 * SINK_BUFFER / 22 + 7;  // 22 bytes each
  {
    Sink s;
    create_output(s, name.c_str());
    std::fputs("old", s.file);
    close_output(s);
  }
  {
    Sink s;
    hold_output(s, name.c_str(), 22 * 10);  // too little room: it grows
    for (int k = 0; k < records; ++k) record(s, k);
  }
  EXPECT_EQ(text(), "old");
  {
    Sink s;
    hold_output(s, name.c_str(), 22 * 10);
    for (int k = 0; k < records; ++k) record(s, k);
    create_output(s, name.c_str());
    for (int k = records; k < 2 * records; ++k) record(s, k);
    close_output(s);
  }
  const std::string t = text();
  std::remove(name.c_str());
  ASSERT_EQ(t.size(), 2u * records * 22);
  EXPECT_EQ(t.substr(0, 22), "    .000   .1000E+01\r\n");
  for (int k : {9, 10, records - 1, records, 2 * records - 1}) {
    char want[40];
    std::snprintf(want, sizeof want, "%4d.000   .1000E+01\r\n", k);
    EXPECT_EQ(t.substr(static_cast<std::size_t>(k) * 22, 22), want) << k;
  }
}

TEST(EndOfRun, FilesThatCannotBeOpened) {
  auto report = [](auto&& f) -> std::string {
    try {
      f();
    } catch (const Error& e) {
      return e.what();
    }
    return "";
  };
  Source in;
  Sink out;
  EXPECT_EQ(report([&] { open_input(in, "/nonexistent/accel.dat"); }),
            "cannot open /nonexistent/accel.dat: No such file or directory");
  EXPECT_EQ(report([&] { open_input(in, "/tmp"); }), "cannot open /tmp: Is a directory");
  EXPECT_EQ(report([&] { create_output(out, "/nonexistent/amp_dat"); }),
            "cannot create /nonexistent/amp_dat: No such file or directory");
}

}  // namespace
}  // namespace korvo
