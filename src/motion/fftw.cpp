#include "motion/fftw.h"

#include <mutex>
#include <string>
#include <vector>

#include "korvo.h"

namespace korvo::fftw {

namespace {

// FFTW's planner is not thread-safe (plans are made and destroyed under one
// lock); executing a plan is.
std::mutex& planner() {
  static std::mutex m;
  return m;
}

template <class Make>
Plan cached_plan(bool forward, int n, Make make) {
  struct Entry {
    bool forward;
    int n;
    Plan plan;
  };
  constexpr std::size_t KEEP = 16;
  Plan dropped;  // let go after the lock: its deleter takes the lock again
  const std::lock_guard<std::mutex> lock(planner());
  // Made after the planner's mutex, so gone before it at exit.
  static std::vector<Entry> kept;
  for (const Entry& e : kept)
    if (e.forward == forward && e.n == n) return e.plan;
  fftw_plan p = make();
  if (p == nullptr) throw korvo::Error("no transform plan could be made");
  Plan plan(p, [](fftw_plan q) {
    const std::lock_guard<std::mutex> again(planner());
    fftw_destroy_plan(q);
  });
  if (kept.size() == KEEP) {
    dropped = std::move(kept.front().plan);
    kept.erase(kept.begin());
  }
  kept.push_back({forward, n, plan});
  return plan;
}

}  // namespace

template <class T>
Array<T> array(std::size_t n) {
  T* p = static_cast<T*>(fftw_malloc(sizeof(T) * n));
  if (p == nullptr) throw korvo::Error("no memory for a transform of " + std::to_string(n));
  return Array<T>(p);
}
template Array<double> array(std::size_t);
template Array<fftw_complex> array(std::size_t);

Plan plan_r2c(int n, double* in, fftw_complex* out) {
  return cached_plan(true, n, [&] { return fftw_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE); });
}

Plan plan_c2r(int n, fftw_complex* in, double* out) {
  return cached_plan(false, n, [&] { return fftw_plan_dft_c2r_1d(n, in, out, FFTW_ESTIMATE); });
}

}  // namespace korvo::fftw
