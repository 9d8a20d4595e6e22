// Whole runs compared byte for byte with reviewed golden files: console, exit
// status and the three result files. The reference_ cases were computed by an
// independent implementation; the others are korvo's own, each checked
// against independent numbers before it was first committed (see the
// README of tests/golden).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <tuple>

#include "support/e2e.h"

using namespace e2e;

namespace {

std::vector<std::string> golden_cases() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(source_dir() / "tests/golden"))
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Every case with the stages overlapped on two threads and on one thread in
// the plain order: the schedule must not show in a single byte.
class Golden : public testing::TestWithParam<std::tuple<std::string, const char*>> {};

TEST_P(Golden, MatchesByteForByte) {
  const auto& [name, threads] = GetParam();
  const fs::path src = source_dir() / "tests/golden" / name;
  const fs::path dir = scratch(name + "_" + threads);
  for (const char* input : {"accel.dat", "soil.dat"})
    if (fs::exists(src / input)) fs::copy_file(src / input, dir / input);
  const Outcome run = run_in(dir, std::string("KORVO_THREADS=") + threads + " '" KORVO_BINARY "'",
                             slurp(src / "answers"));
  EXPECT_EQ(std::to_string(run.status) + "\n", slurp(src / "expected/status"));
  EXPECT_EQ(run.out, slurp(src / "expected/console.txt"));
  EXPECT_EQ(run.err, "");
  for (const char* file : {"S_amp1", "amp_dat", "korvo_dat"}) {
    const std::string want = slurp(src / "expected" / file), got = slurp(dir / file);
    EXPECT_EQ(got.size(), want.size()) << file;
    // Report the first differing line rather than two huge strings.
    std::istringstream a(got), b(want);
    std::string la, lb;
    int line = 0;
    while (std::getline(b, lb)) {
      ++line;
      if (!std::getline(a, la)) la = "<missing>";
      if (la != lb) {
        ADD_FAILURE() << file << " line " << line << "\n got: " << la << "\nwant: " << lb;
        break;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, Golden,
                         testing::Combine(testing::ValuesIn(golden_cases()),
                                          testing::Values("1", "2")),
                         [](const auto& info) {
                           return std::get<0>(info.param) + "_threads" + std::get<1>(info.param);
                         });

}  // namespace
