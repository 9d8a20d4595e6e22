// backbone_power four at a time.
#include <cstddef>
#include <cstdint>

#include "simd/power.h"
#include "simd/simd.h"

namespace korvo::detail {

namespace {
typedef double D __attribute__((vector_size(32)));
typedef std::uint64_t U __attribute__((vector_size(32)));
}  // namespace

void pow_avx2(const double* x, const double* y, double* out, std::size_t n) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    D a, b;
    __builtin_memcpy(&a, x + i, sizeof a);
    __builtin_memcpy(&b, y + i, sizeof b);
    const D p = backbone_power<D, U>(a, b);
    __builtin_memcpy(out + i, &p, sizeof p);
  }
  if (i == n) return;
  // The last few padded with 1^1.
  D a = {1.0, 1.0, 1.0, 1.0}, b = a;
  for (std::size_t k = 0; i + k < n; ++k) {
    a[k] = x[i + k];
    b[k] = y[i + k];
  }
  const D p = backbone_power<D, U>(a, b);
  for (std::size_t k = 0; i + k < n; ++k) out[i + k] = p[k];
}

}  // namespace korvo::detail
