// The record readers of the motion library on the data as a file: pairs in
// Real and double, AT2 and SMC in both, and detection by content.
#include <cmath>
#include <string>

#include "motion/record.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

namespace {

template <class F>
void guarded(F f) {
  try {
    f();
  } catch (const korvo::Error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvo::record;
  const std::string text(reinterpret_cast<const char*>(data), size);
  guarded([&] {
    const auto p = read_pairs<korvo::Real>(text, "r.txt");
    if (p.a.size() < 2 || !(p.dt > 0.0)) __builtin_trap();
  });
  guarded([&] { read_pairs<double>(text, "r.txt", 0.01); });
  guarded([&] { read_at2<korvo::Real>(text, "r.at2"); });
  guarded([&] { read_smc<double>(text, "r.smc"); });
  guarded([&] {
    const Accelerogram r = read_accelerogram(text, "r");
    for (double v : r.a)
      if (!std::isfinite(v)) __builtin_trap();
    if (!(r.dt > 0.0)) __builtin_trap();
  });
  return 0;
}
