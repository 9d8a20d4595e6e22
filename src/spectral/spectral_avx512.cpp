// The transform's kernels built for AVX-512 (8 values per vector); CMake
// gives this file the flags, simd/simd.h decides whether it runs.
#if defined(KORVO_X86_KERNELS)
#define KORVO_LANES 8
#include "spectral/passes.h"

const korvo::detail::SpectralKernels korvo::detail::spectral_avx512 = THESE_KERNELS;
#endif
