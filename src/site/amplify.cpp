#include <cmath>
#include <cstdio>
#include <exception>
#include <system_error>
#include <thread>

#include "simd/machine.h"
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

// Line I: X(I) times the transfer function S(I) and the phase factor, its
// parts into A and B. Runs with no fault pending; a fault throws LineFault.
void line(Integer I, Complex* X, Real* A, Real* B, const Complex* S, const Grid& g,
          const Profile& p) {
  auto x = [X](Integer i) -> Complex& { return X[i - 1]; };
  const Real OM = static_cast<Real>(I - 1) * g.DOM;
  const Complex P = cmul(S[I - 1], x(I));
  if (const char* f = fp_fault()) {
    throw LineFault(std::string("floating-point fault (") + f + ") in the amplified spectrum " +
                        at_line(I, g.DOM),
                    I);
  }
  // Travel time through the layers above the half-space, one factor per
  // layer from its own rounded angle. The sign advances the motion (the
  // forward transform has exp(-i...)); shear velocities for every wave type,
  // since the time is that of the shear wave the layers were measured with.
  Complex PH = {1.0f, 0.0f};
  for (Integer J = 1; J <= p.NL - 1; ++J) {
    const Real theta = phase(p.TH[J - 1], OM, p.VS[J - 1]);
    PH = cmul({rcos(theta), rsin(theta)}, PH);
  }
  x(I) = cmul(P, PH);
  if (const char* f = fp_fault()) {
    throw LineFault(std::string("floating-point fault (") + f + ") " + phase_fault(I, OM, g, p), I);
  }
  A[I - 1] = x(I).re;
  B[I - 1] = x(I).im;
}

struct Lines {
  Complex* X;
  Real* A;
  Real* B;
  const Complex* S;
  const Grid& g;
  const Profile& p;

  // first..last on the calling thread, from cleared flags.
  void scalar(Integer first, Integer last) const {
    fp_clear();
    for (Integer I = first; I <= last; ++I) line(I, X, A, B, S, g, p);
  }

  using Kernel = unsigned (*)(const detail::PhaseJob&, Integer, Integer, const Complex*,
                              const Complex*, Complex*);

  // The same W lines at a time by a vector kernel. Lines it leaves (a library
  // stand-in near a tie) are formed by line(); a group of lines that raised a
  // flag is formed again line by line, which throws at the faulting line as
  // scalar() does (or finds none: the flag was the stand-in's own).
  void vector(Kernel kernel, Integer W, Integer first, Integer last) const {
    fp_clear();
    const detail::PhaseJob job = {g.DOM, p.NL, p.TH, p.VS};
    for (Integer I = first; I <= last; I += W) {
      const Integer n = last - I + 1 < W ? last - I + 1 : W;
      Complex Y[8];
      const unsigned left = kernel(job, I, n, S, X, Y);
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

  Simd set;

  void run(Integer first, Integer last) const {
    switch (set) {
#if defined(KORVO_X86_KERNELS)
      case Simd::avx512:
        return vector(detail::amplify_lines_avx512, 8, first, last);
      case Simd::avx2:
        return vector(detail::amplify_lines_avx2, 4, first, last);
#endif
      default:
        return scalar(first, last);
    }
  }
};

// Below this many line-layers a run takes less than starting a thread.
constexpr long long SPLIT_WORK = 16384;

}  // namespace

void amplify(Complex* X, Real* A, Real* B, const Complex* AMP, Integer IAMP, const Grid& g,
             const Profile& p) {
  detail::amplify(X, A, B, AMP, IAMP, g, p, detail::LinePlan{});
}

void detail::amplify(Complex* X, Real* A, Real* B, const Complex* AMP, Integer IAMP, const Grid& g,
                     const Profile& p, LinePlan plan) {
  // The set is chosen here: a refusal of KORVO_SIMD is reported from this thread.
  const Lines lines = {
      X, A, B, AMP + (IAMP - 1) * AMP_STRIDE, g, p, plan.simd ? *plan.simd : simd_level()};
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
