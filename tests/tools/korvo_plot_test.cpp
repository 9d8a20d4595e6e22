#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../support/e2e.h"

using namespace e2e;

namespace {

const char* const FIGURES[] = {"S_amp1.png", "amp_dat.png", "korvo_dat.png", "spectra.png"};

bool have_gnuplot() {
  static const bool found = run_in(scratch("gnuplot"), "command -v gnuplot", "").status == 0;
  return found;
}

struct Png {
  bool signature = false;
  std::uint32_t width = 0, height = 0;
  std::uintmax_t size = 0;
};

// The signature and the IHDR chunk, which a PNG must open with.
Png inspect(const fs::path& p) {
  Png png;
  std::ifstream in(p, std::ios::binary);
  unsigned char head[24] = {};
  in.read(reinterpret_cast<char*>(head), sizeof head);
  if (in.gcount() != sizeof head) return png;
  const unsigned char magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  png.signature = std::equal(magic, magic + 8, head) && std::string(head + 12, head + 16) == "IHDR";
  auto be32 = [&](int at) {
    return std::uint32_t{head[at]} << 24 | std::uint32_t{head[at + 1]} << 16 |
           std::uint32_t{head[at + 2]} << 8 | std::uint32_t{head[at + 3]};
  };
  png.width = be32(16);
  png.height = be32(20);
  png.size = fs::file_size(p);
  return png;
}

Outcome plot(const fs::path& dir, const std::string& args) {
  return run_in(dir, "'" KORVO_PLOT_SCRIPT "' " + args, "");
}

// The first line on standard error.
std::string report(const Outcome& r) { return r.err.substr(0, r.err.find('\n')); }

fs::path data(const std::string& name) { return source_dir() / "tests/data/tools" / name; }

// The texts gnuplot writes into an SVG figure, each with the vertical place of
// its anchor (y grows downwards).
struct SvgText {
  std::string text;
  double y;
};
std::vector<SvgText> svg_texts(const std::string& svg) {
  std::vector<SvgText> out;
  std::size_t at = 0;
  while ((at = svg.find("<text>", at)) != std::string::npos) {
    const std::size_t end = svg.find("</text>", at);
    std::string inner = svg.substr(at + 6, end - at - 6), text;
    for (std::size_t i = 0; i < inner.size(); ++i) {  // tags dropped: "10" "-3" reads "10-3"
      if (inner[i] == '<')
        i = inner.find('>', i);
      else
        text += inner[i];
    }
    const std::size_t t = svg.rfind("translate(", at);
    const std::size_t comma = svg.find(',', t);
    out.push_back({text, std::stod(svg.substr(comma + 1))});
    at = end;
  }
  return out;
}
double y_of(const std::vector<SvgText>& texts, const std::string& text) {
  for (const SvgText& t : texts)
    if (t.text == text) return t.y;
  return -1.0;
}

// The four inputs with flat data: the figures of real data must carry more than axes.
void write_flat(const fs::path& d) {
  fs::create_directories(d);
  std::ofstream s(d / "S_amp1"), a(d / "amp_dat"), k(d / "korvo_dat"), r(d / "spectra.csv");
  r << "period_s,psa_g,sv_cm_s,sd_cm\n";
  for (int i = 1; i <= 100; ++i) {
    s << i * 0.1 << " 1 0 1 1 0 1\r\n";
    a << i * 0.1 << " 1 0 1\r\n";
    k << i * 0.01 << " 0\r\n";
    r << i * 0.1 << ",0,0,0\n";
  }
}

}  // namespace

TEST(PlotFigures, FromKorvoResultsAndSpectra) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  const fs::path dir = scratch("from_korvo_results_and_spectra");
  for (const char* f : {"S_amp1", "amp_dat", "korvo_dat"})
    fs::copy_file(data(std::string("basic_h_input.") + f), dir / f);
  ASSERT_EQ(run_in(dir, "'" KORVO_SPECTRA_BINARY "' korvo_dat", "").status, 0);
  ASSERT_EQ(plot(dir, "--unit 'm/s^2'").status, 0);

  write_flat(dir / "flat");
  ASSERT_EQ(plot(dir, "-C flat").status, 0);

  for (const char* f : FIGURES) {
    const Png png = inspect(dir / f), flat = inspect(dir / "flat" / f);
    EXPECT_TRUE(png.signature) << f;
    EXPECT_EQ(png.width, 900u) << f;
    EXPECT_EQ(png.height, 560u) << f;
    EXPECT_GT(png.size, flat.size * 13 / 10) << f << " is hardly more than its axes";
  }
}

TEST(PlotFigures, OnlyWhatExistsAndElsewhere) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  const fs::path dir = scratch("only_what_exists_and_elsewhere");
  fs::copy_file(data("basic_h_input.korvo_dat"), dir / "history.txt");
  ASSERT_EQ(plot(dir, "--history history.txt -C . -o figures").status, 0);
  EXPECT_TRUE(inspect(dir / "figures/korvo_dat.png").signature);
  for (const char* f : {"S_amp1.png", "amp_dat.png", "spectra.png"})
    EXPECT_FALSE(fs::exists(dir / "figures" / f)) << f;

  fs::create_directories(dir / "empty");
  EXPECT_EQ(plot(dir, "-C empty").status, 1);
  EXPECT_TRUE(fs::is_empty(dir / "empty"));
  EXPECT_EQ(plot(dir, "--bogus").status, 2);
}

// korvo-site's transfer.csv given as --s-amp is drawn as a transfer function;
// a file of neither layout is refused in one line, not with gnuplot's
// warnings about a file without valid points.
TEST(PlotFigures, SiteTransferOrOneLineRefusal) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  const fs::path dir = scratch("site_transfer_or_one_line_refusal");
  {
    std::ofstream t(dir / "transfer.csv"), p(dir / "psa.csv");
    t << "freq_hz,real,imag,modulus\n";
    p << "period_s,psa_g,sv_cm_s,sd_cm\n";
    for (int k = 0; k <= 200; ++k) {
      t << 0.1 * k << "," << 1.0 + 0.01 * k << ",0," << 1.0 + 0.01 * k << "\n";
      p << 0.01 * (k + 1) << ",0.5,1,1\n";
    }
  }
  const Outcome csv = plot(dir, "--s-amp transfer.csv --format svg");
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.err, "");
  EXPECT_FALSE(fs::exists(dir / "S_amp1.svg"));
  const auto texts = svg_texts(slurp(dir / "transfer.svg"));
  EXPECT_GT(y_of(texts, "Transfer function: transfer.csv"), 0.0);
  EXPECT_GT(y_of(texts, "Modulus of surface / input (-)"), 0.0);

  const Outcome other = plot(dir, "--s-amp psa.csv");
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.err,
            "korvo-plot: psa.csv holds no amplification rows: S_amp1's 7 columns or korvo-site's "
            "transfer.csv\n");
}

TEST(PlotLegend, ColumnOneNamedByTheSoilFlag) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  const fs::path dir = scratch("column_one_named_by_the_soil_flag");
  fs::copy_file(data("basic_h_input.S_amp1"), dir / "S_amp1");
  // Line 2 of the soil file, an I10 field: blanks dropped, a comma ends it.
  const struct {
    const char* line2;  // nullptr: no --soil
    const char* column1;
  } cases[] = {
      {nullptr, "surface / input or outcrop (column 1)"},
      {"         1", "surface / incident wave (column 1)"},
      {"    1     ", "surface / incident wave (column 1)"},
      {"1,", "surface / incident wave (column 1)"},
      {"         0", "surface / outcrop (column 1)"},
      {"         2", "surface / outcrop (column 1)"},
      {"", "surface / outcrop (column 1)"},
      {"        10", "surface / outcrop (column 1)"},
  };
  for (const auto& c : cases) {
    std::string args = "--format svg";
    if (c.line2 != nullptr) {
      spit(dir / "soil", "       0.0\r\n" + std::string(c.line2) + "\r\n        2       0.0\r\n");
      args += " --soil soil";
    }
    const Outcome r = plot(dir, args);
    ASSERT_EQ(r.status, 0) << report(r);
    const auto texts = svg_texts(slurp(dir / "S_amp1.svg"));
    const double xlabel = y_of(texts, "Frequency (Hz)");
    EXPECT_GT(xlabel, 0.0);
    // Both legend entries below the axis label, outside the plot.
    EXPECT_GT(y_of(texts, c.column1), xlabel) << (c.line2 ? c.line2 : "no soil");
    EXPECT_GT(y_of(texts, "surface / top of half-space (column 2)"), xlabel);
  }
  spit(dir / "soil", "       0.0\n      one\n");
  const Outcome bad = plot(dir, "--soil soil");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(report(bad), "korvo-plot: soil, line 2: IFLAG 'one' is not an integer");
}

TEST(PlotAxes, LogAxesInPowersOfTenAndASmoothedSpectrum) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  const fs::path dir = scratch("log_axes_in_powers_of_ten_and_a_smoothed_spectrum");
  // Fourier moduli from 2.6e-17 to 5.5 over 0.098 to 50 Hz.
  fs::copy_file(data("basic_h_input.amp_dat"), dir / "amp_dat");
  const Outcome smoothed = plot(dir, "--format svg");
  ASSERT_EQ(smoothed.status, 0) << report(smoothed);
  const auto texts = svg_texts(slurp(dir / "amp_dat.svg"));
  for (const char* tick : {"10-16", "10-8", "100", "0.1", "1", "10"})
    EXPECT_GT(y_of(texts, tick), 0.0) << tick;
  for (const SvgText& t : texts) {
    EXPECT_EQ(t.text.find("0.000"), std::string::npos) << t.text;
    EXPECT_EQ(t.text.find("e-"), std::string::npos) << t.text;
  }
  EXPECT_GT(y_of(texts, "Konno-Ohmachi smoothed, b = 40"), 0.0);
  const Outcome raw = plot(dir, "--format svg --smooth 0");
  ASSERT_EQ(raw.status, 0) << report(raw);
  EXPECT_LT(y_of(svg_texts(slurp(dir / "amp_dat.svg")), "Konno-Ohmachi smoothed, b = 40"), 0.0);
}

TEST(PlotCompare, SpectralRatioAndInputHistory) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  const fs::path dir = scratch("spectral_ratio_and_input_history");
  {
    std::ofstream a(dir / "surface"), b(dir / "input"), c(dir / "other");
    for (auto* f : {&a, &b, &c}) *f << "period_s,psa_g,sv_cm_s,sd_cm\n";
    for (int k = 1; k <= 20; ++k) {
      a << 0.05 * k << "," << 0.75 * k << ",0,0\n";
      b << 0.05 * k << "," << 0.25 * k << ",0,0\n";
      c << 0.06 * k << "," << 0.25 * k << ",0,0\n";
    }
  }
  const Outcome same = plot(dir, "--spectra surface --compare input");
  ASSERT_EQ(same.status, 0) << report(same);
  EXPECT_TRUE(inspect(dir / "spectral_ratio.png").signature);
  std::istringstream ratio(slurp(dir / "spectral_ratio.csv"));
  std::string header;
  std::getline(ratio, header);
  EXPECT_EQ(header, "period_s,psa_ratio");
  int rows = 0;
  for (std::string line; std::getline(ratio, line);) {
    double period = 0.0, r = 0.0;
    char comma = 0;
    std::istringstream(line) >> period >> comma >> r;
    EXPECT_NEAR(r, 3.0, 1e-6) << line;
    ++rows;
  }
  EXPECT_EQ(rows, 20);
  const Outcome other = plot(dir, "--spectra surface --compare other");
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(report(other),
            "korvo-plot: surface and other hold different periods: compute both with the same "
            "--tmin, --tmax and --count");

  // The input read as korvo reads it: pairs in any layout.
  fs::copy_file(data("basic_h_input.korvo_dat"), dir / "korvo_dat");
  spit(dir / "record.txt", "0 0.1, 0.01 0.2\n0.02 -0.3 0.03\n0.4\n");
  spit(dir / "record.csv", "time_s,accel_g\n0,0.1\n0.01,0.2\n0.02,-0.3\n0.03,0.4\n");
  ASSERT_EQ(plot(dir, "--input record.csv").status, 0);
  const Outcome svg = plot(dir, "--input record.txt --format svg");
  ASSERT_EQ(svg.status, 0) << report(svg);
  const auto texts = svg_texts(slurp(dir / "korvo_dat.svg"));
  EXPECT_GT(y_of(texts, "Input: record.txt"), y_of(texts, "Surface time history"));
  EXPECT_GT(y_of(texts, "Surface time history"), 0.0);
  const Outcome png = plot(dir, "--input record.txt");
  ASSERT_EQ(png.status, 0) << report(png);
  EXPECT_EQ(inspect(dir / "korvo_dat.png").height, 800u);
}

TEST(PlotPaths, NamedFilesAsTypedAndRequired) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  const fs::path dir = scratch("named_files_as_typed_and_required");
  fs::create_directories(dir / "run");
  fs::copy_file(data("basic_h_input.S_amp1"), dir / "run/S_amp1");
  fs::copy_file(data("basic_h_input.korvo_dat"), dir / "here.txt");
  fs::copy_file(data("basic_h_input.korvo_dat"), dir / "run/there.txt");
  const struct {
    const char* args;
    int status;
    const char* report;
  } cases[] = {
      {"-C run --history here.txt", 0, ""},
      {"-C run --history there.txt", 1,
       "korvo-plot: cannot open there.txt: No such file or directory"},
      {"-C run --spectra none", 1, "korvo-plot: cannot open none: No such file or directory"},
      {"-C run --amp run", 1, "korvo-plot: cannot open run: Is a directory"},
      {"-C run --soil soil", 1, "korvo-plot: cannot open soil: No such file or directory"},
      {"-C run --compare here.txt", 1,
       "korvo-plot: --compare needs a spectra file to compare with: --spectra FILE or "
       "run/spectra.csv"},
      {"-C nowhere", 1, "korvo-plot: -C nowhere: No such file or directory"},
      {"-C run --format gif", 2, "korvo-plot: --format is png or svg, not 'gif'"},
      {"-C run --smooth -1", 2, "korvo-plot: --smooth needs a bandwidth, a number >= 0, not '-1'"},
      {"-C run --input", 2, "korvo-plot: --input needs a value"},
  };
  for (const auto& c : cases) {
    const Outcome r = plot(dir, c.args);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_NE(r.err.find(c.report), std::string::npos) << c.args << "\n  gave: " << r.err;
  }
  // The figures of the first case went to the -C folder.
  EXPECT_TRUE(inspect(dir / "run/korvo_dat.png").signature);
  EXPECT_TRUE(inspect(dir / "run/S_amp1.png").signature);
}
