// The kernels' instruction sets this processor runs, for tests that run each.
#pragma once

#include <vector>

#include "simd/simd.h"

namespace support {

inline std::vector<korvo::Simd> every_simd() {
  std::vector<korvo::Simd> sets;
  for (korvo::Simd s : {korvo::Simd::scalar, korvo::Simd::avx2, korvo::Simd::avx512})
    if (korvo::detail::simd_runs(s)) sets.push_back(s);
  return sets;
}

}  // namespace support
