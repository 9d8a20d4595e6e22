// Powers four at a time through glibc's vector pow (libmvec's AVX2 form).
#include <immintrin.h>

#include <cstddef>

#include "simd/simd.h"

extern "C" __m256d _ZGVdN4vv_pow(__m256d, __m256d);

namespace korvo::detail {

void pow_avx2(const double* x, const double* y, double* out, std::size_t n) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4)
    _mm256_storeu_pd(out + i, _ZGVdN4vv_pow(_mm256_loadu_pd(x + i), _mm256_loadu_pd(y + i)));
  if (i == n) return;
  // The last few padded with 1^1, so that every value takes the same path.
  alignas(32) double bx[4] = {1.0, 1.0, 1.0, 1.0}, by[4] = {1.0, 1.0, 1.0, 1.0}, bo[4];
  for (std::size_t k = 0; i + k < n; ++k) {
    bx[k] = x[i + k];
    by[k] = y[i + k];
  }
  _mm256_store_pd(bo, _ZGVdN4vv_pow(_mm256_load_pd(bx), _mm256_load_pd(by)));
  for (std::size_t k = 0; i + k < n; ++k) out[i + k] = bo[k];
}

}  // namespace korvo::detail
