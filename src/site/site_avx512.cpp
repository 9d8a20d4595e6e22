// The site kernels built for AVX-512 (8 lines per vector); CMake gives this
// file the flags, simd/simd.h decides whether it runs.
#if defined(KORVO_X86_KERNELS)
#define KORVO_LANES 8
#include "site/lines.h"

const korvo::detail::SiteKernels korvo::detail::site_avx512 = THESE_KERNELS;
#endif
