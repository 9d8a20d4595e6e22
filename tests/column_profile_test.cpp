// The profile file: every fault named with its line, layer and key; units
// converted once; layers divided by wavelength.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "column/column.h"

using namespace korvo::column;

namespace {

// A valid profile with one placeholder, @, that each case replaces.
const std::string BASE = R"(water_table = 2.0
[curves.sand]
modulus = [[0.0001, 1.0], [0.01, 0.8], [1.0, 0.1]]
damping = [[0.0001, 0.5], [0.01, 3.0], [1.0, 20.0]]
[[layer]]
name = "clay"
thickness = 5.0
unit_weight = 18.0
vs = 200.0
model = "darendeli"
plasticity_index = 20
ocr = 1
k0 = 0.5
[[layer]]
name = "sand"
thickness = 8.0
unit_weight = 19.0
vs = 300.0
model = "sand"
@
[halfspace]
unit_weight = 22.0
vs = 800.0
damping_pct = 1.0
)";

std::string with(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string error_of(const std::string& text) {
  try {
    const Column p = read_column(text, "p.toml");
    divide(p, 25.0);
  } catch (const korvo::Error& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace

TEST(ColumnProfile, BaseIsValid) { EXPECT_EQ(error_of(with(BASE, "@", "")), "no error"); }

TEST(ColumnProfile, FaultsNameLineLayerAndKey) {
  const struct {
    const char *from, *to, *message;
  } cases[] = {
      {"vs = 200.0\n", "", "p.toml, line 5: layer \"clay\": missing key 'vs'"},
      {"thickness = 5.0", "thickness = -5.0",
       "p.toml, line 7: layer \"clay\": 'thickness' must be positive, not -5"},
      {"thickness = 8.0", "thickness = \"8\"",
       "p.toml, line 16: layer \"sand\": 'thickness' must be a number"},
      {"unit_weight = 19.0", "unit_weight = 0",
       "p.toml, line 17: layer \"sand\": 'unit_weight' must be positive, not 0"},
      {"thickness = 5.0", "thicknes = 5.0",
       "p.toml, line 7: layer \"clay\": unknown key \"thicknes\" for model darendeli"},
      {"@", "damping_pct = 2",
       "p.toml, line 20: layer \"sand\": unknown key \"damping_pct\" for a curve-set model"},
      {"model = \"sand\"", "model = \"sandd\"",
       "p.toml, line 19: layer \"sand\": model 'sandd' is neither darendeli, linear nor a curve "
       "set under "
       "[curves]"},
      {"ocr = 1", "ocr = 0.5",
       "p.toml, line 12: layer \"clay\": 'ocr' must be at least 1, not 0.5"},
      {"plasticity_index = 20\n", "",
       "p.toml, line 5: layer \"clay\": missing key 'plasticity_index'"},
      {"name = \"clay\"\n", "", "p.toml, line 5: layer 1: missing key 'name'"},
      {"[0.01, 0.8], [1.0, 0.1]]", "[0.01, 0.8], [1.0, 0.9]]",
       "p.toml, line 3: curve set \"sand\": 'modulus' G/Gmax must not rise with strain: 0.9 after "
       "0.8"},
      {"[0.01, 0.8], [1.0, 0.1]]", "[0.01, 0.8], [0.001, 0.1]]",
       "p.toml, line 3: curve set \"sand\": 'modulus' strains must increase: 0.001 after 0.01"},
      {"[0.01, 3.0], [1.0, 20.0]]", "[0.01, 3.0], [1.0, 2.0]]",
       "p.toml, line 4: curve set \"sand\": 'damping' damping must not fall with strain: 2 after "
       "3"},
      {"[0.01, 3.0], [1.0, 20.0]]", "[0.01, 3.0], [1.0, 120.0]]",
       "p.toml, line 4: curve set \"sand\": 'damping' damping must lie in [0, 100) %, not 120"},
      {"[0.0001, 1.0], [0.01, 0.8]", "[0.0001, 1.0, 3], [0.01, 0.8]",
       "p.toml, line 3: curve set \"sand\": 'modulus' must be an array of [strain %, value] pairs"},
      {"[0.0001, 1.0], [0.01, 0.8]", "[-0.0001, 1.0], [0.01, 0.8]",
       "p.toml, line 3: curve set \"sand\": 'modulus' strain must be positive, not -1e-04"},
      {"damping_pct = 1.0", "damping_pct = 100",
       "p.toml, line 24: [halfspace]: 'damping_pct' is a percentage below 100, not 100"},
      {"vs = 800.0\n", "", "p.toml, line 21: [halfspace]: missing key 'vs'"},
      {"[halfspace]", "[bedrock]", "p.toml, line 21: unknown key \"bedrock\""},
      {"water_table = 2.0", "water_table = -1",
       "p.toml, line 1: 'water_table' must not be negative, not -1"},
      {"water_table = 2.0", "[units]\nlength = \"yd\"",
       "p.toml, line 2: [units]: 'length' is \"m\" or \"ft\", not \"yd\""},
      {"vs = 300.0", "vs = 300.0 300", "p.toml, line 18: "},  // TOML syntax, with its line
      {"unit_weight = 18.0", "unit_weight = 5.0",
       "p.toml, line 5: layer \"clay\": no effective stress at depth 4.375 m"},
  };
  for (const auto& c : cases) {
    ASSERT_NE(BASE.find(c.from), std::string::npos) << c.from;
    const std::string text = with(with(BASE, c.from, c.to), "@", "");
    const std::string got = error_of(text);
    EXPECT_EQ(got.rfind(c.message, 0), 0u) << "changing " << c.from << "\n got: " << got;
  }
}

// The same column in feet and pounds per cubic foot divides into the same
// sublayers, in SI inside.
TEST(ColumnProfile, FeetAndPcfAreConvertedOnce) {
  const std::string si = R"(water_table = 3.048
[[layer]]
name = "a"
thickness = 30.48
unit_weight = 18.849
vs = 152.4
model = "linear"
damping_pct = 2
[halfspace]
unit_weight = 22.0
vs = 762.0
damping_pct = 1
)";
  const std::string us = R"(water_table = 10
[units]
length = "ft"
unit_weight = "pcf"
[[layer]]
name = "a"
thickness = 100
unit_weight = 119.99
vs = 500
model = "linear"
damping_pct = 2
[halfspace]
unit_weight = 140.05
vs = 2500
damping_pct = 1
)";
  const Column a = read_column(si, "si.toml"), b = read_column(us, "us.toml");
  EXPECT_NEAR(b.water_table, a.water_table, 1e-12);
  EXPECT_NEAR(b.layers[0].unit_weight, 119.99 * 0.157087463844, 1e-9);
  EXPECT_NEAR(b.halfspace.vs, a.halfspace.vs, 1e-9);
  const auto sa = divide(a, 25.0), sb = divide(b, 25.0);
  ASSERT_EQ(sa.size(), sb.size());
  // 30.48 m at 152.4 m/s: a fifth of the wavelength at 25 Hz is 1.2192 m, so 25.
  EXPECT_EQ(sa.size(), 25u);
  EXPECT_NEAR(sb.back().top + sb.back().thickness, 30.48, 1e-12);
  EXPECT_NEAR(sb[3].rho, 119.99 * 0.157087463844 / 9.80665, 1e-9);
}

// The console program's soil file as a column: the same layers as the TOML
// that states its units, damping 1/(2 QS); what cannot be a column refused.
TEST(ColumnProfile, SoilFileIsTheColumnItsTomlStates) {
  const std::string soil =
      "       0.0\n"
      "         0\n"
      "         3       0.0\n"
      "   0.120   1000.  10.000   500.0  25.000  100.00\n"
      "   0.125   1800.  10.000   900.0  10.000   50.00\n"
      "   0.140   8000.  50.000  2500.0  50.000   0.000\n";
  // By hand: kcf to pcf, 1/(2 QS) as a percentage.
  const std::string toml = R"(water_table = 0
[units]
length = "ft"
unit_weight = "pcf"
[[layer]]
name = "1"
thickness = 100
unit_weight = 120
vs = 500
model = "linear"
damping_pct = 2
[[layer]]
name = "2"
thickness = 50
unit_weight = 125
vs = 900
model = "linear"
damping_pct = 5
[halfspace]
unit_weight = 140
vs = 2500
damping_pct = 1
)";
  const std::string path = ::testing::TempDir() + "korvo_soil_column.soil";
  auto write = [&](const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  };
  write(soil);
  EXPECT_TRUE(is_soil_file(soil));
  EXPECT_FALSE(is_soil_file(toml));
  const Column a = read_profile(soil, path, "ft", "--soil-unit");
  const Column b = read_column(toml, "t.toml");
  ASSERT_EQ(a.layers.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_NEAR(a.layers[i].thickness, b.layers[i].thickness, 1e-7 * b.layers[i].thickness);
    EXPECT_NEAR(a.layers[i].unit_weight, b.layers[i].unit_weight, 1e-7 * b.layers[i].unit_weight);
    EXPECT_NEAR(a.layers[i].vs, b.layers[i].vs, 1e-7 * b.layers[i].vs);
    EXPECT_NEAR(a.layers[i].damping, b.layers[i].damping, 1e-9);
    EXPECT_EQ(a.layers[i].model, Model::Linear);
  }
  EXPECT_NEAR(a.halfspace.damping, 0.01, 1e-9);
  EXPECT_NEAR(a.halfspace.unit_weight, b.halfspace.unit_weight, 1e-7 * 22);
  EXPECT_NE(a.converted.find("lengths in ft, RHO as a unit weight in kcf, damping 1/(2 QS)"),
            std::string::npos);
  // In metres RHO is a density: 0.12 t/m^3 weighs 0.12 g kN/m^3. The file's
  // numbers are read as korvo reads them, in single precision.
  EXPECT_NEAR(read_profile(soil, path, "m", "--soil-unit").layers[0].unit_weight, 0.12 * 9.80665,
              1e-7);

  struct Case {
    std::string from, to, unit, words;
  };
  const Case cases[] = {
      {"", "", "", "whose lengths carry no unit: give --soil-unit m or ft"},
      {"", "", "yd", "the length unit of a soil file is m or ft, not \"yd\""},
      {"       0.0\n", "      30.0\n", "m", ", line 1: a wave incident off the vertical"},
      {"3       0.0", "3       0.5", "m",
       ", line 3: QEXP 0.5 makes the damping depend on frequency"},
      {"  25.000  100.00", "   0.000  100.00", "m",
       ", line 4: QS must be a positive number, not 0"},
      {"   500.0  25.000", "  -500.0  25.000", "m", ", line 4: VS must be a positive number"},
      {"         3       0.0", "         1       0.0", "m",
       ", line 4: no layer above the half-space"},
  };
  for (const Case& c : cases) {
    std::string text = soil;
    if (!c.from.empty()) text.replace(text.find(c.from), c.from.size(), c.to);
    write(text);
    std::string error = "no error";
    try {
      read_profile(text, path, c.unit, "--soil-unit");
    } catch (const korvo::Error& e) {
      error = e.what();
    }
    EXPECT_NE(error.find(c.words), std::string::npos) << c.words << " / " << error;
  }
  std::remove(path.c_str());
  try {
    read_profile(toml, "t.toml", "ft", "--soil-unit");
    ADD_FAILURE() << "a unit for a TOML profile";
  } catch (const korvo::Error& e) {
    EXPECT_STREQ(
        e.what(),
        "--soil-unit is for soil files; t.toml is a TOML profile, whose [units] give its lengths");
  }
}

// No sublayer thicker than a fifth of the wavelength at fmax, and no more
// sublayers than that needs; a layer's own count wins.
TEST(ColumnProfile, SublayersFollowTheWavelength) {
  const Column p = read_column(with(BASE, "@", ""), "p.toml");
  // 5 m of clay at 200 m/s and 8 m of sand at 300 m/s.
  const struct {
    double fmax;
    int clay, sand;
  } cases[] = {{5.0, 1, 1}, {12.5, 2, 2}, {25.0, 4, 4}, {40.0, 5, 6}};
  for (const auto& c : cases) {
    const auto subs = divide(p, c.fmax);
    int count[2] = {0, 0};
    for (const auto& s : subs) {
      EXPECT_LE(s.thickness, s.vs0 / c.fmax / 5.0 * (1 + 1e-12));
      ++count[s.layer];
    }
    EXPECT_EQ(count[0], c.clay) << "fmax " << c.fmax;
    EXPECT_EQ(count[1], c.sand) << "fmax " << c.fmax;
  }
  const auto fixed = divide(read_column(with(BASE, "@", "sublayers = 3"), "p.toml"), 25.0);
  EXPECT_NEAR(fixed.back().thickness, 8.0 / 3.0, 1e-12);
}

// Vs30, f0 and kappa0 by hand for 10 m at 200 m/s (2 %) and 10 m at 400 m/s
// (1 %) over 800 m/s: 30 / (10/200 + 10/400 + 10/800), 1 / (4 (10/200 + 10/400)),
// 2 (0.02 10/200 + 0.01 10/400). Thirty metres or more of soil ignore the half-space.
TEST(ColumnProfile, SmallStrainQuantities) {
  const char* two = R"(water_table = 0
[[layer]]
name = "a"
thickness = 10
unit_weight = 18
vs = 200
model = "linear"
damping_pct = 2
sublayers = 3
[[layer]]
name = "b"
thickness = 10
unit_weight = 19
vs = 400
model = "linear"
damping_pct = 1
[halfspace]
unit_weight = 22
vs = 800
damping_pct = 0.5
)";
  const Column c = read_column(two, "two.toml");
  const SmallStrain q = small_strain(divide(c, 25.0), c.halfspace);
  EXPECT_NEAR(q.vs30, 30.0 / 0.0875, 1e-9);
  EXPECT_NEAR(q.f0, 1.0 / 0.3, 1e-12);
  EXPECT_NEAR(q.kappa0, 0.0025, 1e-15);
  std::string deep(two);
  deep.replace(deep.find("thickness = 10"), 14, "thickness = 40");
  const Column d = read_column(deep, "deep.toml");
  EXPECT_NEAR(small_strain(divide(d, 25.0), d.halfspace).vs30, 200.0, 1e-9);
}
