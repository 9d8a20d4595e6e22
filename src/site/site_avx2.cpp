// The site kernels built for AVX2 (4 lines per vector); CMake gives this
// file the flags, simd/simd.h decides whether it runs.
#if defined(KORVO_X86_KERNELS)
#define KORVO_LANES 4
#include "site/lines.h"

const korvo::detail::SiteKernels korvo::detail::site_avx2 = THESE_KERNELS;
#endif
