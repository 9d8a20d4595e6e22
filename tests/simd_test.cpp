// The instruction set of the vector kernels is chosen once per process and
// can be named by KORVO_SIMD; whichever runs, the bytes are the same.
#include "support/simd.h"

#include <gtest/gtest.h>
#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "korvo.h"
#include "machine/machine.h"
#include "simd/power.h"
#include "simd/simd.h"
#include "site/site.h"
#include "support/e2e.h"

using namespace korvo;
using namespace e2e;

namespace {

using support::every_simd;

// The golden runs through the program on every set this processor runs:
// console, status and the three result files byte for byte.
TEST(Simd, GoldenRunsOnEverySet) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(source_dir() / "tests/golden"))
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  ASSERT_FALSE(names.empty());
  for (const std::string& name : names) {
    const fs::path src = source_dir() / "tests/golden" / name;
    for (Simd s : every_simd()) {
      const std::string set = detail::simd_name(s);
      const fs::path dir = scratch(name + "-" + set);
      for (const char* input : {"accel.dat", "soil.dat"})
        if (fs::exists(src / input)) fs::copy_file(src / input, dir / input);
      const Outcome run =
          run_in(dir, "KORVO_SIMD=" + set + " '" KORVO_BINARY "'", slurp(src / "answers"));
      EXPECT_EQ(std::to_string(run.status) + "\n", slurp(src / "expected/status")) << name << set;
      EXPECT_EQ(run.out, slurp(src / "expected/console.txt")) << name << " " << set;
      for (const char* file : {"S_amp1", "amp_dat", "korvo_dat"})
        EXPECT_TRUE(slurp(dir / file) == slurp(src / "expected" / file))
            << name << " " << set << " " << file;
    }
  }
}

TEST(Simd, NamesAndRefusals) {
  // Unset or empty: the widest set that runs.
  const Simd widest = every_simd().back();
  EXPECT_EQ(detail::simd_from(nullptr), widest);
  EXPECT_EQ(detail::simd_from(""), widest);
  EXPECT_EQ(detail::simd_from("scalar"), Simd::scalar);
  for (Simd s : {Simd::avx2, Simd::avx512}) {
    if (detail::simd_runs(s)) {
      EXPECT_EQ(detail::simd_from(detail::simd_name(s)), s);
    } else {
      EXPECT_THROW(detail::simd_from(detail::simd_name(s)), Error);
    }
  }
  try {
    detail::simd_from("AVX2");
    ADD_FAILURE() << "names are lower case";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "KORVO_SIMD=AVX2: expected scalar, avx2 or avx512");
  }
  // The program reports it as any refusal: one line, status 1.
  const fs::path src = source_dir() / "tests/golden/reference_basic_h_input";
  const fs::path dir = scratch("refused");
  for (const char* input : {"accel.dat", "soil.dat"}) fs::copy_file(src / input, dir / input);
  const Outcome run = run_in(dir, "KORVO_SIMD=sse9 '" KORVO_BINARY "'", slurp(src / "answers"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "korvo: KORVO_SIMD=sse9: expected scalar, avx2 or avx512\n");
}

// The nonlinear backbones' powers: within their stated error of the long
// double pow over the range the backbones use and beyond, exact at 1, and
// the edges (0, subnormal, beyond the range, infinite, NaN) as stated.
TEST(Simd, BackbonePowerWithinItsStatedError) {
  const auto power = [](double x, double y) { return backbone_power<double, std::uint64_t>(x, y); };
  for (int i = 0; i <= 600; ++i)
    for (double y : {0.3, 0.919, 1.0, 1.7, 3.2}) {
      const double x = std::pow(10.0, -300.0 + 1.0 * i + 0.37 * y);
      const long double ref = std::pow(static_cast<long double>(x), static_cast<long double>(y));
      if (!(ref > 1e-300L && ref < 1e300L)) continue;
      const double err = static_cast<double>(std::fabs((power(x, y) - ref) / ref));
      EXPECT_LE(err, 2.3e-16 * (std::fabs(y * std::log(x)) + 4.0)) << x << "^" << y;
    }
  EXPECT_EQ(power(1.0, 0.919), 1.0);
  EXPECT_EQ(power(4.0, 0.5), 2.0);
  EXPECT_EQ(power(0.0, 0.919), 0.0);
  EXPECT_NEAR(power(1e-310, 0.5), 1e-155, 1e-168);  // subnormal x
  EXPECT_EQ(power(1e-300, 3.0), 0.0);               // below e^-708
  EXPECT_EQ(power(1e300, 3.0), HUGE_VAL);           // beyond e^709
  EXPECT_EQ(power(HUGE_VAL, 0.5), HUGE_VAL);
  EXPECT_TRUE(std::isnan(power(std::nan(""), 0.5)));
}

#if defined(KORVO_X86_KERNELS)
// Four to a vector, the same bits as one by one, on every length, the last
// vector padded so that nothing past n is read (the inputs hold exactly n,
// for AddressSanitizer) or written.
TEST(Simd, VectorPowersGiveTheScalarBits) {
  if (!detail::simd_runs(Simd::avx2)) GTEST_SKIP() << "this processor has no AVX2";
  std::vector<double> x, y;
  for (int i = 0; i < 41; ++i)
    for (double e : {0.3, 0.919, 1.0, 1.7, 3.2}) {
      x.push_back(std::pow(10.0, -9.0 + 0.3 * i));
      y.push_back(e);
    }
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{4},
                        std::size_t{5}, std::size_t{8}, std::size_t{9}, x.size()}) {
    const std::vector<double> xs(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n));
    const std::vector<double> ys(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(n));
    std::vector<double> out(n + 4, -7.0);
    detail::pow_avx2(xs.data(), ys.data(), out.data(), n);
    for (std::size_t i = 0; i < n; ++i)
      EXPECT_EQ(out[i], (backbone_power<double, std::uint64_t>(xs[i], ys[i])))
          << xs[i] << "^" << ys[i] << ", n " << n;
    for (std::size_t i = n; i < n + 4; ++i) EXPECT_EQ(out[i], -7.0) << "written past " << n;
  }
}
#endif

// The choice is made before any line is handed to another thread, so that a
// refusal is an Error for the caller, never an exception ending the process
// from a worker. (The choice is kept once made: no test before this one in
// the same process may have asked for it.)
TEST(Simd, RefusalReachesTheCallerOfAThreadedStage) {
  ::setenv("KORVO_SIMD", "sse9", 1);
  Profile p;
  p.NL = 12;
  for (int k = 0; k < p.NL; ++k) {
    p.RHO[k] = 1.8f, p.VS[k] = 200.0f + 50.0f * static_cast<Real>(k), p.QS[k] = 20.0f;
    p.VP[k] = 2.0f * p.VS[k], p.QP[k] = 40.0f, p.TH[k] = 5.0f;
  }
  p.QEXP = 0.3f;
  Grid g;
  g.DOM = 0.1f;
  g.NOM = 4000;  // enough line-boundaries to share among the cores
  std::vector<Complex> AMP(2 * static_cast<size_t>(AMP_STRIDE));
  std::vector<Complex> X(static_cast<size_t>(g.NOM));
  std::vector<Real> A(X.size()), B(X.size());
  for (auto stage : {std::function<void()>([&] { site_transfer(0, g, p, AMP.data()); }),
                     std::function<void()>(
                         [&] { amplify(X.data(), A.data(), B.data(), AMP.data(), 1, g, p); })}) {
    try {
      stage();
      ADD_FAILURE() << "no refusal";
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), "KORVO_SIMD=sse9: expected scalar, avx2 or avx512");
    }
  }
  ::unsetenv("KORVO_SIMD");
}

// A helper thread leaves its starter's core but keeps every core it may run
// on; mapping pages in ahead leaves what they hold alone.
TEST(Machine, HelpersKeepTheirCoresAndPagesTheirContents) {
#if defined(__linux__)
  cpu_set_t mine, theirs;
  ASSERT_EQ(sched_getaffinity(0, sizeof mine, &mine), 0);
  CPU_ZERO(&theirs);
  std::thread t = thread_beside([&] { sched_getaffinity(0, sizeof theirs, &theirs); });
  t.join();
  EXPECT_TRUE(CPU_EQUAL(&mine, &theirs));
#endif
  std::vector<unsigned char> bytes(5 * 4096 + 123);
  for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<unsigned char>(k * 7 + 1);
  const std::vector<unsigned char> before = bytes;
  prefault(bytes.data() + 100, bytes.size() - 200);
  EXPECT_EQ(bytes, before);
}

// A standing helper runs each task handed to it, also one handed over after
// it has stopped waiting busily and gone to sleep, and none on a single core.
TEST(Machine, StandingHelperRunsEveryTaskAndNoneOnOneCore) {
  std::unique_ptr<Helper> h = Helper::start();
  if (!h) GTEST_SKIP() << "fewer than two cores";
  const std::thread::id me = std::this_thread::get_id();
  std::vector<std::thread::id> ran;
  for (int k = 0; k < 3; ++k) {
    if (k == 2) std::this_thread::sleep_for(Helper::KEEP_AWAKE * 2);
    h->give([&] { ran.push_back(std::this_thread::get_id()); });
    h->wait();
    ASSERT_EQ(ran.size(), static_cast<std::size_t>(k + 1));
    EXPECT_NE(ran.back(), me);
  }
  h->give([&] { std::this_thread::sleep_for(std::chrono::milliseconds(5)), ran.clear(); });
  h.reset();  // waits for the task in hand
  EXPECT_TRUE(ran.empty());
#if defined(__linux__)
  std::thread one([&] {
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(current_core(), &only);
    ASSERT_EQ(sched_setaffinity(0, sizeof only, &only), 0);
    EXPECT_EQ(Helper::start(), nullptr);
  });
  one.join();
#endif
}

}  // namespace
