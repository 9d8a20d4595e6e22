#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

const char* const FIGURES[] = {"S_amp1.png", "amp_dat.png", "korvo_dat.png", "spectra.png"};

int shell(const std::string& cmd) {
  const int s = std::system(cmd.c_str());
  return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
}

bool have_gnuplot() { return shell("command -v gnuplot > /dev/null 2>&1") == 0; }

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

struct Scratch {
  fs::path dir;
  Scratch() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir = fs::temp_directory_path() /
          ("korvo_plot_" + std::string(info->name()) + "_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~Scratch() { fs::remove_all(dir); }
  int plot(const std::string& args) const {
    return shell("cd '" + dir.string() + "' && '" KORVO_PLOT_SCRIPT "' " + args +
                 " > out.txt 2> err.txt");
  }
};

// The four inputs with flat data: the figures of real data must carry more than axes.
void write_flat(const fs::path& d) {
  fs::create_directories(d);
  std::ofstream s(d / "S_amp1"), a(d / "amp_dat"), k(d / "korvo_dat"), r(d / "spectra_dat");
  r << "# response spectra of flat: 100 samples, dt 0.01 s, damping 0.05\n";
  for (int i = 1; i <= 100; ++i) {
    s << i * 0.1 << " 1 0 1 1 0 1\r\n";
    a << i * 0.1 << " 1 0 1\r\n";
    k << i * 0.01 << " 0\r\n";
    r << i * 0.1 << " 0 0 0\n";
  }
}

}  // namespace

TEST(PlotFigures, FromKorvoResultsAndSpectra) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  Scratch s;
  const fs::path data = fs::path(KORVO_SOURCE_DIR) / "tests/data/tools";
  for (const char* f : {"S_amp1", "amp_dat", "korvo_dat"})
    fs::copy_file(data / (std::string("basic_h_input.") + f), s.dir / f);
  ASSERT_EQ(
      shell("cd '" + s.dir.string() + "' && '" KORVO_SPECTRA_BINARY "' korvo_dat > /dev/null"), 0);
  ASSERT_EQ(s.plot("--unit 'm/s^2'"), 0);

  write_flat(s.dir / "flat");
  ASSERT_EQ(s.plot("-C flat"), 0);

  for (const char* f : FIGURES) {
    const Png png = inspect(s.dir / f), flat = inspect(s.dir / "flat" / f);
    EXPECT_TRUE(png.signature) << f;
    EXPECT_EQ(png.width, 900u) << f;
    EXPECT_EQ(png.height, 560u) << f;
    EXPECT_GT(png.size, flat.size * 13 / 10) << f << " is hardly more than its axes";
  }
}

TEST(PlotFigures, OnlyWhatExistsAndElsewhere) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  Scratch s;
  fs::copy_file(fs::path(KORVO_SOURCE_DIR) / "tests/data/tools/basic_h_input.korvo_dat",
                s.dir / "history.txt");
  ASSERT_EQ(s.plot("--history history.txt --spectra none -C . -o figures"), 0);
  EXPECT_TRUE(inspect(s.dir / "figures/korvo_dat.png").signature);
  for (const char* f : {"S_amp1.png", "amp_dat.png", "spectra.png"})
    EXPECT_FALSE(fs::exists(s.dir / "figures" / f)) << f;

  fs::create_directories(s.dir / "empty");
  EXPECT_EQ(s.plot("-C empty"), 1);
  EXPECT_TRUE(fs::is_empty(s.dir / "empty"));
  EXPECT_EQ(s.plot("--bogus"), 2);
}
