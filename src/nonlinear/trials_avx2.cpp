// The elements' common trials built for AVX2; CMake gives this file the
// flags, nonlinear/run.cpp calls it only where simd_level() allows.
#if defined(KORVO_X86_KERNELS)
#define KORVO_LANES 4
#include "nonlinear/trials.h"
#include "simd/lanes.h"
#include "simd/power.h"

namespace korvo::nonlinear::detail {

namespace {

using lanes::D;
using lanes::M;

inline D load(const double* p) { return (D)_mm256_loadu_pd(p); }
inline M load(const std::int64_t* p) {
  return (M)_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
inline void store(double* p, D x) { _mm256_storeu_pd(p, (__m256d)x); }
inline void store(std::int64_t* p, M x) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), (__m256i)x);
}

}  // namespace

// Each line mirrors its scalar counterpart in run.cpp (locate, power_of,
// backbone_with, evaluate_with) operation for operation, so that the bits
// agree. In three passes, so that the powers are taken back to back, where
// the processor overlaps one with the next.
std::size_t trials_avx2(const Trials& shared, std::size_t groups) {
  // A copy the stores below cannot alias, so that its pointers stay loaded.
  const Trials t = shared;
  std::size_t taken = 0;
  const D zero = lanes::splat(0.0), one = lanes::splat(1.0), two = lanes::splat(2.0);
  // Where g lies: a reversal starts a branch from the committed strain; a
  // loop closed or the backbone rejoined is left to the general code. The
  // backbone is read at gb, its power at x.
  for (std::size_t k = 0; k < groups; ++k) {
    t.done[k] = t.plain[k] = 0;
    if (!t.eligible[k]) continue;
    const std::size_t i = 4 * k;
    const D g = load(t.g + i), gn = load(t.gn + i), dir = load(t.dir + i);
    const M n = load(t.n + i);
    const D step = g - gn;
    const M rev = (dir != zero) & (step != zero) & ((step > zero) != (dir > zero));
    const D from = rev ? gn : load(t.og + i);
    const D to = rev ? load(t.rto + i) : load(t.cto + i);
    const M pass = (to > from) ? (g > to) : (g < to);
    const M none = n == 0;
    // MRDF's first branch off the backbone needs its secant taken afresh.
    if (lanes::bits(pass) != 0 || (t.mrdf && lanes::bits(rev & none) != 0)) continue;
    const M backbone = ~rev & none;
    const D gb = backbone ? g : (g - from) / two;
    store(t.gb + i, gb);
    store(t.x + i, lanes::vabs(gb) * load(t.scale + i));
    store(t.rev + i, -rev);
    store(t.size + i, n - rev);
    t.done[k] = 1;
    t.plain[k] = lanes::bits(rev) == 0;
    ++taken;
  }
  for (std::size_t k = 0; k < groups; ++k) {
    if (!t.done[k]) continue;
    const std::size_t i = 4 * k;
    const D x = load(t.x + i);
    store(t.p + i, backbone_power<D, lanes::U>((x > zero) ? x : one, load(t.s + i)));
  }
  for (std::size_t k = 0; k < groups; ++k) {
    if (!t.done[k]) continue;
    const std::size_t i = 4 * k;
    const M rev = -load(t.rev + i), backbone = ~rev & (load(t.n + i) == 0);
    const D g = load(t.g + i), gb = load(t.gb + i), x = load(t.x + i), s = load(t.s + i);
    const D g0 = rev ? load(t.gn + i) : load(t.og + i);
    const D t0 = rev ? load(t.tn + i) : load(t.ot + i);
    const D p = (s == one) ? x : ((x > zero) ? load(t.p + i) : zero);
    const D r = one / (one + load(t.beta + i) * p);
    const D gmax = load(t.gmax + i);
    const D f = gmax * gb * r;
    D tangent = gmax * (one + load(t.bms + i) * p) * r * r;
    D tau;
    if (t.mrdf) {
      const D sec = load(t.sec + i), F = load(t.f + i);
      const D dx = g - g0;
      tau = backbone ? f : t0 + sec * dx + F * (two * f - sec * dx);
      tangent = backbone ? tangent : sec + F * (tangent - sec);
    } else {
      tau = backbone ? f : t0 + two * f;
    }
    store(t.tau + i, tau);
    store(t.kt + i, tangent);
  }
  return taken;
}

// Mirrors run.cpp's commit of an element whose branch stays (settle and the
// peaks), and the shadow it keeps of the element's state.
std::size_t commits_avx2(const Trials& shared, std::size_t groups) {
  const Trials t = shared;
  const D one = lanes::splat(1.0);
  std::size_t taken = 0;
  for (std::size_t k = 0; k < groups; ++k) {
    if (!t.plain[k]) continue;
    const std::size_t i = 4 * k;
    const D g = load(t.g + i), tau = load(t.tau + i), gn = load(t.gn + i), tn = load(t.tn + i);
    store(t.work + i, load(t.thickness + i) * (g - gn) * (tau + tn));
    store(t.kt_last + i, load(t.kc + i));
    const D dir = load(t.dir + i);
    store(t.dir + i, (g != gn) ? ((g > gn) ? one : -one) : dir);
    store(t.gn + i, g);
    store(t.tn + i, tau);
    store(t.kc + i, load(t.kt + i));
    const M none = load(t.n + i) == 0;
    store(t.rto + i, none ? -g : load(t.rto + i));
    const D sp = load(t.strain_peak + i), ag = lanes::vabs(g);
    store(t.strain_peak + i, (sp < ag) ? ag : sp);
    const D tp = load(t.stress_peak + i), at = lanes::vabs(tau);
    store(t.stress_peak + i, (tp < at) ? at : tp);
    ++taken;
  }
  return taken;
}

}  // namespace korvo::nonlinear::detail
#endif
