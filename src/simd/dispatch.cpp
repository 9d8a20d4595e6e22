#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "korvo.h"
#include "simd/power.h"
#include "simd/simd.h"

namespace korvo {

bool detail::simd_runs(Simd s) {
  if (s == Simd::scalar) return true;
#if defined(KORVO_X86_KERNELS)
  // libgcc also checks that the system saves the wide registers.
  __builtin_cpu_init();
  if (s == Simd::avx2) return __builtin_cpu_supports("avx2");
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#else
  return false;
#endif
}

const char* detail::simd_name(Simd s) {
  switch (s) {
    case Simd::scalar:
      return "scalar";
    case Simd::avx2:
      return "avx2";
    case Simd::avx512:
      return "avx512";
  }
  return "?";
}

Simd detail::simd_from(const char* name) {
  if (name == nullptr || *name == '\0') {
    for (Simd s : {Simd::avx512, Simd::avx2})
      if (simd_runs(s)) return s;
    return Simd::scalar;
  }
  for (Simd s : {Simd::scalar, Simd::avx2, Simd::avx512}) {
    if (std::strcmp(name, simd_name(s)) != 0) continue;
    if (!simd_runs(s))
      throw Error(std::string("KORVO_SIMD=") + name + ": this build or processor cannot run it");
    return s;
  }
  throw Error(std::string("KORVO_SIMD=") + name + ": expected scalar, avx2 or avx512");
}

void powers(const double* x, const double* y, double* out, std::size_t n) {
#if defined(KORVO_X86_KERNELS)
  if (simd_level() != Simd::scalar) {
    detail::pow_avx2(x, y, out, n);
    return;
  }
#endif
  for (std::size_t i = 0; i < n; ++i) out[i] = backbone_power<double, std::uint64_t>(x[i], y[i]);
}

Simd simd_level() {
  static const Simd level = detail::simd_from(std::getenv("KORVO_SIMD"));
  return level;
}

}  // namespace korvo
