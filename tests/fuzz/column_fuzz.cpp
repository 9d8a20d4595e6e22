// The profile TOML as a file: reading, checking every key, dividing into
// sublayers; and, for a column that reads, one linear response to a short pulse.
#include <cmath>
#include <string>

#include "column/column.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvo::column;
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const Column c = read_column(text, "p.toml");
    const std::vector<Sublayer> subs = divide(c, 25.0);
    if (subs.empty()) __builtin_trap();
    Motion m;
    m.dt = 0.01;
    for (int t = 0; t < 64; ++t) m.a.push_back(t == 8 ? 0.1 : 0.0);
    Options o;
    o.method = Method::Linear;
    o.pad = 0.5;
    Analysis a(subs, c.halfspace, m, o);
    const Result& r = a.run();
    for (double s : r.strain_peak)
      if (!std::isfinite(s)) __builtin_trap();
  } catch (const korvo::Error&) {
  }
  return 0;
}
