#include <cmath>
#include <cstdio>
#include <exception>
#include <system_error>
#include <thread>

#include "machine/machine.h"
#include "simd/simd.h"
#include "site/kernels.h"
#include "site/site.h"

namespace korvo {

namespace {

// Travel time through one layer as a phase angle.
inline Real phase(Real THJ, Real OM, Real VSJ) { return real(wide(THJ) * OM / VSJ); }

// Names the layer whose travel time went wrong (a zero shear velocity, most
// often): every fault of the phase factor leaves its angle Inf or NaN.
std::string phase_fault(Integer I, Real OM, const Grid& g, const Profile& p) {
  const std::string where = "in the travel-time phase factor " + at_line(I, g.DOM);
  for (Integer J = 1; J <= p.NL - 1; ++J) {
    if (std::isfinite(phase(p.TH[J - 1], OM, p.VS[J - 1]))) continue;
    char layer[128];
    std::snprintf(layer, sizeof layer, ", layer %d (thickness %.6g, VS %.6g)", static_cast<int>(J),
                  wide(p.TH[J - 1]), wide(p.VS[J - 1]));
    return where + layer;
  }
  return where;
}

// Line I by the scalar kernel: X(I) times the transfer function S(I) and the
// phase factor, its parts into A and B. Runs with no fault pending; a fault
// throws LineFault, named after the step that raised it.
void line(Integer I, Complex* X, Real* A, Real* B, const Complex* S, const Grid& g,
          const Profile& p) {
  const detail::PhaseJob job = {g.DOM, p.NL, p.TH, p.VS};
  Complex Y;
  detail::site_scalar.amplify_lines(job, I, 1, S, X, &Y);
  if (const char* f = fp_fault()) {
    // The spectrum times S(I) alone again: did the fault come before the phase?
    fp_clear();
    const Complex P = cmul(S[I - 1], X[I - 1]);
    volatile Real kept[2] = {P.re, P.im};  // so that the product is formed
    (void)kept;
    const Real OM = static_cast<Real>(I - 1) * g.DOM;
    const char* first = fp_fault();
    throw LineFault(
        std::string("floating-point fault (") + (first ? first : f) + ") " +
            (first ? "in the amplified spectrum " + at_line(I, g.DOM) : phase_fault(I, OM, g, p)),
        I);
  }
  X[I - 1] = Y;
  A[I - 1] = Y.re;
  B[I - 1] = Y.im;
}

struct Lines {
  Complex* X;
  Real* A;
  Real* B;
  const Complex* S;
  const Grid& g;
  const Profile& p;
  const detail::SiteKernels& kernels;

  // first..last on the calling thread, from cleared flags.
  void scalar(Integer first, Integer last) const {
    fp_clear();
    for (Integer I = first; I <= last; ++I) line(I, X, A, B, S, g, p);
  }

  // The same W lines at a time by a vector kernel. Lines it leaves (a library
  // stand-in near a tie) are formed by line(); a group of lines that raised a
  // flag is formed again line by line, which throws at the faulting line as
  // scalar() does (or finds none: the flag was the stand-in's own).
  void run(Integer first, Integer last) const {
    if (kernels.lanes == 1) return scalar(first, last);
    fp_clear();
    const detail::PhaseJob job = {g.DOM, p.NL, p.TH, p.VS};
    const Integer W = kernels.lanes;
    for (Integer I = first; I <= last; I += W) {
      const Integer n = last - I + 1 < W ? last - I + 1 : W;
      Complex Y[8];
      const unsigned left = kernels.amplify_lines(job, I, n, S, X, Y);
      if (fp_fault()) {
        scalar(I, I + n - 1);
        fp_clear();
        continue;
      }
      for (Integer k = 0; k < n; ++k) {
        if (left >> k & 1u) {
          line(I + k, X, A, B, S, g, p);
          continue;
        }
        X[I + k - 1] = Y[k];
        A[I + k - 1] = Y[k].re;
        B[I + k - 1] = Y[k].im;
      }
    }
  }
};

// Below this many line-layers a run takes less than starting a thread.
constexpr long long SPLIT_WORK = 16384;

}  // namespace

void amplify(Complex* X, Real* A, Real* B, const Complex* AMP, Integer IAMP, const Grid& g,
             const Profile& p) {
  amplify(X, A, B, AMP, IAMP, g, p, LinePlan{});
}

void amplify(Complex* X, Real* A, Real* B, const Complex* AMP, Integer IAMP, const Grid& g,
             const Profile& p, LinePlan plan) {
  // The set is chosen here: a refusal of KORVO_SIMD is reported from this thread.
  const Lines lines = {X,
                       A,
                       B,
                       AMP + (IAMP - 1) * AMP_STRIDE,
                       g,
                       p,
                       detail::site_kernels(plan.simd ? *plan.simd : simd_level())};
  const Integer NOM = g.NOM;
  const bool share = plan.threads && std::thread::hardware_concurrency() >= 2 &&
                     static_cast<long long>(NOM) * (p.NL > 1 ? p.NL : 1) >= SPLIT_WORK;
  if (!share) return lines.run(1, NOM);

  // The second half of the lines on another core. Lines are independent; the
  // fault reported is that of the lowest line, the one a single pass stops at.
  const Integer half = NOM / 2;
  std::exception_ptr late;
  std::thread other;
  try {
    other = thread_beside([&] {
      try {
        lines.run(half + 1, NOM);
      } catch (const LineFault&) {
        late = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    return lines.run(1, NOM);
  }
  try {
    lines.run(1, half);
  } catch (const LineFault&) {
    other.join();
    throw;
  }
  other.join();
  if (late) std::rethrow_exception(late);
}

}  // namespace korvo
