#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <system_error>
#include <thread>

#include "machine/machine.h"
#include "simd/simd.h"
#include "site/kernels.h"
#include "site/site.h"

#define KORVO_LANES 1
#include "site/lines.h"

namespace korvo {

const detail::SiteKernels detail::site_scalar = THESE_KERNELS;

const detail::SiteKernels& detail::site_kernels(Simd s) {
#if defined(KORVO_X86_KERNELS)
  if (s == Simd::avx512) return site_avx512;
  if (s == Simd::avx2) return site_avx2;
#endif
  (void)s;
  return site_scalar;
}

void detail::cexp_pair(Complex z, Complex& E1, Complex& E2) {
  CV e1, e2;
  Suspect none;
  cexp_pair_v(splat(z), e1, e2, none);
  E1 = lanes::lane(e1, 0), E2 = lanes::lane(e2, 0);
}

void detail::cexp_pair_with(Complex z, Complex& E1, Complex& E2, double (*reciprocal)(double)) {
  CV e1, e2;
  Suspect none;
  cexp_pair_v(splat(z), e1, e2, none, reciprocal);
  E1 = lanes::lane(e1, 0), E2 = lanes::lane(e2, 0);
}

namespace {

// The scalar kernel's pieces (site/lines.h), for the table and the probe.
using namespace detail;

// The half-space's undamped velocity squared, as a complex number: VS^2 CF0
// by the vertical rule, CF0 = 3 / (1 - VS^2 / VP^2), else V^2.
Complex slowness_base(const TransferJob& job) {
  const Integer NL = job.NL;
  if (!job.vertical) {
    const Real v = job.V[NL - 1];
    return {v * v, 0.0f};
  }
  const Real vs = job.VS[NL - 1], vp = job.VP[NL - 1];
  const Real CF0 = real(3.0 / (1.0 - wide(vs) * vs / (wide(vp) * vp)));
  return cmul({vs * vs, 0.0f}, {CF0, 0.0f});
}

// What a line needs of the column apart from OM depends on the line only
// through F = FHZ^QEXP; with damping off or QEXP = 0, F is the same on every
// line (0, or x^0 = 1) and the per-layer table is formed once.
struct ColumnAtF {
  Complex ALPHA[LMAX];  // of boundary j
  Complex S[LMAX];      // vertical slowness of layer j
};

struct Transfer {
  TransferJob job;
  LinePlan plan;

  Real omega(Integer i) const { return real(wide(static_cast<Real>(i - 1)) * job.DOM); }
  bool same_F() const { return !job.damp || job.QEXP == 0.0f; }

  void fill(ColumnAtF& t) const {
    Suspect none;
    const D F = splat(job.damp ? 1.0 : 0.0);
    const CV P2 = splat(job.P2);
    CV Z = impedance_v(job.RHO[job.NL - 1], velocity_v(job, job.NL, F, none));
    for (Integer j = job.NL - 1; j >= 1; --j) {
      const CV VC1 = velocity_v(job, j, F, none);
      const CV Z1 = impedance_v(job.RHO[j - 1], VC1);
      t.ALPHA[j - 1] = lanes::lane(cdiv_v(Z1, Z), 0);
      t.S[j - 1] = lanes::lane(vertical_slowness_v(VC1, P2, none), 0);
      Z = Z1;
    }
  }

  // Line i again, one boundary at a time in the order of the recursion,
  // testing the flags after each: the boundary that raised the first fault,
  // or 0 when the fault came after the boundaries.
  Integer probe(Integer i, Complex* AMP) const {
    Suspect none;
    const D OM = splat(omega(i));
    const CV zero = {splat(0.0), splat(0.0)}, one = {splat(1.0), splat(0.0)};
    ProductV P = {one, zero, zero, one};
    if (job.NL > 1) {
      const D F = power_v(job, OM, none);
      const CV P2 = splat(job.P2);
      CV Z = impedance_v(job.RHO[job.NL - 1], velocity_v(job, job.NL, F, none));
      for (Integer j = job.NL - 1; j >= 1; --j) {
        const CV VC1 = velocity_v(job, j, F, none);
        const CV Z1 = impedance_v(job.RHO[j - 1], VC1);
        CV E1, E2;
        phase_factors_v(vertical_slowness_v(VC1, P2, none), OM, job.TH[j - 1], E1, E2, none);
        product_v(P, cdiv_v(Z1, Z), E1, E2);
        if (fp_fault()) return j;
        Z = Z1;
      }
    }
    CV A1, A2;
    finish_v(job, P, A1, A2);
    AMP[i - 1] = lanes::lane(A1, 0);
    AMP[AMP_STRIDE + i - 1] = lanes::lane(A2, 0);
    return 0;
  }
};

// Lines first..last on the calling thread by the scalar kernel, from cleared
// flags: the first line that raised a fault, or 0. Flags belong to the
// thread, so each worker tests its own.
Integer lines(const TransferJob& job, Integer first, Integer last, Complex* AMP) {
  fp_clear();
  for (Integer i = first; i <= last; ++i) {
    detail::site_scalar.transfer_lines(job, i, 1, AMP);
    if (fp_fault()) return i;
  }
  return 0;
}

// The same lines by the kernels of a set, `lanes` at a time. Lines a vector
// kernel reports (a library stand-in near a tie) are formed again by the
// scalar one; a group of lines that raised a flag is formed again line by
// line, which finds the faulting line as lines() does (or finds none: the
// flag was the stand-in's own).
Integer lines_of(const Transfer& t, const SiteKernels& k, Integer first, Integer last,
                 Complex* AMP) {
  fp_clear();
  TransferJob job = t.job;
  ColumnAtF table;
  if (t.plan.reuse_table && job.NL > 1 && t.same_F()) {
    t.fill(table);
    if (fp_fault()) return lines(job, first, last, AMP);
    job.ALPHA = table.ALPHA;
    job.S = table.S;
  }
  const Integer W = k.lanes;
  for (Integer i = first; i <= last; i += W) {
    const Integer n = last - i + 1 < W ? last - i + 1 : W;
    for (unsigned redo = k.transfer_lines(job, i, n, AMP); redo != 0; redo &= redo - 1)
      detail::site_scalar.transfer_lines(job, i + std::countr_zero(redo), 1, AMP);
    if (fp_fault()) {
      if (W == 1) return i;
      if (const Integer bad = lines(job, i, i + n - 1, AMP)) return bad;
      fp_clear();
    }
  }
  return 0;
}

// Below this many line-boundaries a run takes less than starting a thread.
constexpr long long SPLIT_WORK = 16384;
constexpr unsigned MAX_WORKERS = 8;
// Lines handed out at a time: a whole number of vectors, a small share of a
// long record's lines.
constexpr Integer RUN_OF_LINES = 256;

// Lines are independent, so runs of them go to the cores, handed out in
// order from a shared counter: a helper that starts late (an idle core can
// take milliseconds to wake) takes fewer runs instead of holding the others
// up with a fixed half. Every line is computed the same way whoever computes
// it; the lowest faulting line is the one a single pass would have stopped
// at, since every run below it was computed too.
Integer compute_lines(const Transfer& t, Integer first, Integer last, Integer NL, Complex* AMP) {
  const Integer count = last - first + 1;
  // Chosen here: a refusal of KORVO_SIMD is reported from this thread.
  const SiteKernels& set = detail::site_kernels(t.plan.simd ? *t.plan.simd : simd_level());
  unsigned n = std::thread::hardware_concurrency();
  if (n > MAX_WORKERS) n = MAX_WORKERS;
  if (!t.plan.threads || n < 2 ||
      static_cast<long long>(count) * (NL > 1 ? NL - 1 : 1) < SPLIT_WORK)
    return lines_of(t, set, first, last, AMP);

  std::atomic<Integer> next{first};
  auto work = [&]() {
    Integer bad = 0;
    for (Integer a; (a = next.fetch_add(RUN_OF_LINES)) <= last;) {
      const Integer b = last - a < RUN_OF_LINES ? last : a + RUN_OF_LINES - 1;
      const Integer got = lines_of(t, set, a, b, AMP);
      if (got > 0 && (bad == 0 || got < bad)) bad = got;
    }
    return bad;
  };
  Integer bad[MAX_WORKERS] = {};
  std::thread pool[MAX_WORKERS];
  unsigned started = 1;
  Helper* const helper = t.plan.helper;
  if (helper) {
    helper->give([&] { bad[1] = work(); });
    started = 2;
  }
  for (; started < n; ++started) {
    try {
      pool[started] = thread_beside([&, started] { bad[started] = work(); });
    } catch (const std::system_error&) {
      break;
    }
  }
  bad[0] = work();
  if (helper) helper->wait();
  for (unsigned k = helper ? 2 : 1; k < started; ++k) pool[k].join();
  Integer lowest = 0;
  for (unsigned k = 0; k < started; ++k)
    if (bad[k] > 0 && (lowest == 0 || bad[k] < lowest)) lowest = bad[k];
  return lowest;
}

// job: the rule's columns and the vertical flag.
void transfer(const Grid& g, const Profile& p, TransferJob job, const char* wave, Complex* AMP,
              LinePlan plan) {
  // Out-of-range counts would read or write past the arrays (or the per-line
  // table).
  if (p.NL < 1 || p.NL > LMAX || g.NOM > NMAX) {
    char what[160];
    std::snprintf(what, sizeof what,
                  "%s transfer functions: %d layers (1 to %d allowed), %d lines (at most %d)", wave,
                  static_cast<int>(p.NL), static_cast<int>(LMAX), static_cast<int>(g.NOM),
                  static_cast<int>(NMAX));
    throw Error(what);
  }
  job.DOM = g.DOM;
  job.NL = p.NL;
  job.RHO = p.RHO;
  job.TH = p.TH;
  job.damp = p.QEXP != 999.0f;
  job.QEXP = p.QEXP;
  job.ANUM = p.IFLAG == 1 ? 2.0f : 1.0f;
  const std::string in_wave = std::string("in the ") + wave + " transfer functions";
  fp_stage(
      [&] {
        const Real S = rsin(p.ANGLE);
        job.P2 = rdiv(S * S, slowness_base(job));
      },
      [&] { return in_wave + ", in the half-space slowness"; });
  const Transfer t = {job, plan};

  Integer first = 1;
  if (g.NOM >= 1) {
    AMP[0] = {job.ANUM, 0.0f};
    AMP[AMP_STRIDE] = {1.0f, 0.0f};
    first = 2;
  }

  const Integer i = compute_lines(t, first, g.NOM, p.NL, AMP);
  if (i > 0) {
    // The line again, boundary by boundary, to name where it failed.
    fp_clear();
    const Integer j = t.probe(i, AMP);
    const char* f = fp_fault();
    const std::string where = in_wave + " " + at_line(i, g.DOM);
    if (j > 0) {
      fp_error(f ? f : "unknown", where + ", boundary " + std::to_string(j) + " (layers " +
                                      std::to_string(j) + " and " + std::to_string(j + 1) + ")");
    }
    fp_error(f ? f : "unknown", where + ", in the surface-to-half-space ratios");
  }
}

// The jobs of the two rules; transfer() fills in the rest.
TransferJob scalar_rule(const Real* V, const Real* Q) {
  TransferJob job{};
  job.V = V;
  job.Q = Q;
  return job;
}
// Effective velocity VS sqrt(3 / (1 - VS^2 / VP^2)) from both damped velocities.
TransferJob vertical_rule(const Profile& p) {
  TransferJob job{};
  job.vertical = true;
  job.VP = p.VP, job.QP = p.QP, job.VS = p.VS, job.QS = p.QS;
  return job;
}

}  // namespace

void scalar_layer_transfer(const Grid& g, const Profile& p, const Real* V, const Real* Q,
                           Complex* AMP) {
  // Called with the shear or with the compressional columns.
  transfer(g, p, scalar_rule(V, Q), "horizontal/P-wave", AMP, LinePlan{});
}

void vertical_layer_transfer(const Grid& g, const Profile& p, Complex* AMP) {
  transfer(g, p, vertical_rule(p), "vertical", AMP, LinePlan{});
}

void site_transfer(Integer IWAVE, const Grid& g, const Profile& p, Complex* AMP, LinePlan plan) {
  if (IWAVE == 0) {
    transfer(g, p, scalar_rule(p.VS, p.QS), "horizontal/P-wave", AMP, plan);
  } else if (IWAVE == 1) {
    transfer(g, p, vertical_rule(p), "vertical", AMP, plan);
  } else {
    transfer(g, p, scalar_rule(p.VP, p.QP), "horizontal/P-wave", AMP, plan);
  }
}

void site_transfer(Integer IWAVE, const Grid& g, const Profile& p, Complex* AMP) {
  site_transfer(IWAVE, g, p, AMP, LinePlan{});
}

}  // namespace korvo
