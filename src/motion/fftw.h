// One cache of FFTW plans for every transform in the motion and column
// libraries, safe across threads.
#pragma once

#include <fftw3.h>

#include <memory>
#include <type_traits>

namespace korvo::fftw {

template <class T>
struct Free {
  void operator()(T* p) const { fftw_free(p); }
};
// FFTW's own allocation (aligned alike, so that any plan runs on it).
template <class T>
using Array = std::unique_ptr<T[], Free<T>>;
// Throws korvo::Error when there is no memory.
template <class T>
Array<T> array(std::size_t n);

// A plan, destroyed (under the planner's lock) when its last user lets go.
using Plan = std::shared_ptr<std::remove_pointer_t<fftw_plan>>;

// Plans of real transforms of length n, made once per direction and length
// and kept (the sixteen most recent): making one recomputes FFTW's twiddle
// factors, which costs more than transforming a record. Execute them with
// fftw_execute_dft_r2c / _c2r on arrays from array(); `in` and `out` only
// serve the planner, which FFTW_ESTIMATE keeps from writing them. The same
// length gives the same plan, and so the same results, on every run.
Plan plan_r2c(int n, double* in, fftw_complex* out);
Plan plan_c2r(int n, fftw_complex* in, double* out);

}  // namespace korvo::fftw
