#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <system_error>
#include <thread>

#include "simd/machine.h"
#include "simd/simd.h"
#include "site/kernels.h"
#include "site/site.h"

namespace korvo {

namespace {

using detail::LinePlan;

// Damping ratio of a layer on a line, F = FHZ^QEXP: one half over the
// quality factor at that frequency.
inline Real damping(Real F, Real Q) { return real(0.5 / (wide(F) * Q)); }

// V (1 + i XI).
inline Complex damped(Real V, Real XI) { return cmul({V, 0.0f}, {1.0f, XI}); }

struct ScalarRule {
  const Real* V;
  const Real* Q;
  // The half-space's undamped velocity squared, as a complex number.
  Complex slowness_base(Integer NL) const {
    const Real v = V[NL - 1];
    return {v * v, 0.0f};
  }
  Complex velocity(Integer k, bool damp, Real F) const {
    if (!damp) return {V[k - 1], 0.0f};
    return damped(V[k - 1], damping(F, Q[k - 1]));
  }
  void describe(detail::TransferJob& job) const {
    job.vertical = false;
    job.V = V;
    job.Q = Q;
  }
};

// Effective velocity VS sqrt(3 / (1 - VS^2 / VP^2)) from both damped velocities.
struct VerticalRule {
  const Real* VP;
  const Real* QP;
  const Real* VS;
  const Real* QS;
  Complex slowness_base(Integer NL) const {
    const Real vs = VS[NL - 1], vp = VP[NL - 1];
    const Real CF0 = real(3.0 / (1.0 - wide(vs) * vs / (wide(vp) * vp)));
    return cmul({vs * vs, 0.0f}, {CF0, 0.0f});
  }
  Complex velocity(Integer k, bool damp, Real F) const {
    Complex VSC = {VS[k - 1], 0.0f}, VPC = {VP[k - 1], 0.0f};
    if (damp) {
      VSC = damped(VS[k - 1], damping(F, QS[k - 1]));
      VPC = damped(VP[k - 1], damping(F, QP[k - 1]));
    }
    const Complex Q = cdiv(cmul(VSC, VSC), cmul(VPC, VPC));
    const Complex CF = csqrt(rdiv(3.0f, {1.0f - Q.re, -Q.im}));
    return cmul(VSC, CF);
  }
  void describe(detail::TransferJob& job) const {
    job.vertical = true;
    job.VP = VP, job.QP = QP, job.VS = VS, job.QS = QS;
  }
};

// RHO * VC, part by part.
inline Complex impedance(Real rho, Complex VC) { return {rho * VC.re, rho * VC.im}; }

// sqrt(1 / VC^2 - P2): the vertical wavenumber of the layer over OM.
inline Complex vertical_slowness(Complex VC, Complex P2) {
  return csqrt(csub(rdiv(1.0f, cmul(VC, VC)), P2));
}

// The running product of layer matrices, (UP, DN) at the top of the
// half-space = PM x (UP, DN) at the surface.
struct Product {
  Complex PM11, PM12, PM21, PM22;
};

// One boundary step, layer j over layer j+1, from its impedance ratio and
// layer j's vertical slowness S.
inline void boundary(Product& P, Complex ALPHA, Complex S, Real OM, Real THJ) {
  const Complex KZ = {OM * S.re, OM * S.im};
  // i KZ TH = (-Im, Re) of KZ TH.
  const Complex KT = {KZ.re * THJ, KZ.im * THJ};
  Complex E1, E2;
  detail::cexp_pair({-KT.im, KT.re}, E1, E2);

  // (1 +- ALPHA) E / 2: the sum changes only the real part; each part of the
  // product is halved.
  const Complex ap = {1.0f + ALPHA.re, ALPHA.im}, am = {1.0f - ALPHA.re, -ALPHA.im};
  auto half = [](Complex z) -> Complex { return {z.re / 2.0f, z.im / 2.0f}; };
  const Complex T11 = half(cmul(ap, E1)), T12 = half(cmul(am, E2));
  const Complex T21 = half(cmul(am, E1)), T22 = half(cmul(ap, E2));

  // a*x + b*y, one step: the four products and their sums wide, rounded once.
  auto madd = [](Complex a, Complex x, Complex b, Complex y) -> Complex {
    return {real(wide(a.re) * x.re - wide(a.im) * x.im + (wide(b.re) * y.re - wide(b.im) * y.im)),
            real(wide(a.im) * x.re + wide(a.re) * x.im + (wide(b.im) * y.re + wide(b.re) * y.im))};
  };
  const Product old = P;
  P.PM11 = madd(T11, old.PM11, T21, old.PM12);
  P.PM12 = madd(T12, old.PM11, T22, old.PM12);
  P.PM21 = madd(T11, old.PM21, T21, old.PM22);
  P.PM22 = madd(T12, old.PM21, T22, old.PM22);
}

struct Column {
  const Real* RHO;
  const Real* TH;
  Real QEXP;
  Integer NL;
};

// What a line needs of the column apart from OM depends on the line only
// through F = FHZ^QEXP. The same F gives the same bits, so the table is kept
// while F stays the same: on every line with damping off or QEXP = 0.
struct ColumnAtF {
  bool valid = false;
  Real F = 0.0f;
  Complex ALPHA[LMAX];  // of boundary j
  Complex S[LMAX];      // vertical slowness of layer j
};

template <class Rule>
struct Transfer {
  Real DOM;
  LinePlan plan;
  Column c;
  Rule rule;
  Complex P2;
  Real ANUM;

  Real omega(Integer i) const { return real(wide(static_cast<Real>(i - 1)) * DOM); }
  bool damp() const { return c.QEXP != 999.0f; }
  // F = FHZ^QEXP on every line: 0 without damping, 1 for QEXP = 0 (x^0 = 1 for every x).
  bool same_F() const { return !damp() || c.QEXP == 0.0f; }
  Real power(Real FHZ) const { return damp() ? rpow(FHZ, c.QEXP) : 0.0f; }

  void finish(const Product& P, Integer i, Complex* AMP) const {
    const Complex AN = cadd(P.PM12, P.PM11);
    AMP[i - 1] = rdiv(ANUM, AN);
    AMP[AMP_STRIDE + i - 1] = rdiv(2.0f, cadd(cadd(AN, P.PM21), P.PM22));
  }

  void fill(ColumnAtF& t, Real F) const {
    const Integer NL = c.NL;
    Complex VC = rule.velocity(NL, damp(), F);
    Complex Z = impedance(c.RHO[NL - 1], VC);
    for (Integer j = NL - 1; j >= 1; --j) {
      const Complex VC1 = rule.velocity(j, damp(), F);
      const Complex Z1 = impedance(c.RHO[j - 1], VC1);
      t.ALPHA[j - 1] = cdiv(Z1, Z);
      t.S[j - 1] = vertical_slowness(VC1, P2);
      Z = Z1;
    }
    t.F = F;
    t.valid = true;
  }

  void line(ColumnAtF& t, Integer i, Complex* AMP) const {
    const Real OM = omega(i);
    Product P = {{1.0f, 0.0f}, {0.0f, 0.0f}, {0.0f, 0.0f}, {1.0f, 0.0f}};
    if (c.NL > 1) {
      const Real F = power(OM / TWOPI);
      if (!plan.reuse_table || !t.valid || !(t.F == F && std::signbit(t.F) == std::signbit(F)))
        fill(t, F);
      for (Integer j = c.NL - 1; j >= 1; --j)
        boundary(P, t.ALPHA[j - 1], t.S[j - 1], OM, c.TH[j - 1]);
    }
    finish(P, i, AMP);
  }

  detail::TransferJob job() const {
    detail::TransferJob j{};
    j.DOM = DOM;
    j.NL = c.NL;
    j.RHO = c.RHO;
    j.TH = c.TH;
    rule.describe(j);
    j.damp = damp();
    j.QEXP = c.QEXP;
    j.P2 = P2;
    j.ANUM = ANUM;
    return j;
  }

  // The line again, one boundary at a time in the order of the recursion,
  // testing the flags after each: the boundary that raised the first fault,
  // or 0 when the fault came after the boundaries.
  Integer probe(Integer i, Complex* AMP) const {
    const Real OM = omega(i);
    Product P = {{1.0f, 0.0f}, {0.0f, 0.0f}, {0.0f, 0.0f}, {1.0f, 0.0f}};
    if (c.NL > 1) {
      const Real F = power(OM / TWOPI);
      Complex Z = impedance(c.RHO[c.NL - 1], rule.velocity(c.NL, damp(), F));
      for (Integer j = c.NL - 1; j >= 1; --j) {
        const Complex VC1 = rule.velocity(j, damp(), F);
        const Complex Z1 = impedance(c.RHO[j - 1], VC1);
        boundary(P, cdiv(Z1, Z), vertical_slowness(VC1, P2), OM, c.TH[j - 1]);
        if (fp_fault()) return j;
        Z = Z1;
      }
    }
    finish(P, i, AMP);
    return 0;
  }
};

// Lines first..last on the calling thread, from cleared flags: the first line
// that raised a fault, or 0. Flags belong to the thread, so each worker tests
// its own.
template <class Rule>
Integer lines(const Transfer<Rule>& t, Integer first, Integer last, Complex* AMP) {
  fp_clear();
  ColumnAtF table;
  for (Integer i = first; i <= last; ++i) {
    t.line(table, i, AMP);
    if (fp_fault()) return i;
  }
  return 0;
}

using Kernel = unsigned (*)(const detail::TransferJob&, Integer, Integer, Complex*);

// The same lines W at a time by a vector kernel. Lines the kernel reports
// (a library stand-in near a tie) are formed again by the scalar code; a
// group of lines that raised a flag is formed again line by line, which finds
// the faulting line as lines() does (or finds none: the flag was the
// stand-in's own).
template <class Rule>
Integer vector_lines(const Transfer<Rule>& t, Kernel kernel, Integer W, Integer first, Integer last,
                     Complex* AMP) {
  fp_clear();
  detail::TransferJob job = t.job();
  ColumnAtF table;
  if (t.c.NL > 1 && t.same_F()) {
    t.fill(table, t.power(1.0f));
    if (fp_fault()) return lines(t, first, last, AMP);
    job.ALPHA = table.ALPHA;
    job.S = table.S;
  }
  ColumnAtF scratch;
  for (Integer i = first; i <= last; i += W) {
    const Integer n = last - i + 1 < W ? last - i + 1 : W;
    for (unsigned redo = kernel(job, i, n, AMP); redo != 0; redo &= redo - 1)
      t.line(scratch, i + std::countr_zero(redo), AMP);
    if (fp_fault()) {
      if (const Integer bad = lines(t, i, i + n - 1, AMP)) return bad;
      fp_clear();
    }
  }
  return 0;
}

// Lines first..last on the calling thread, by the kernels of a set.
template <class Rule>
Integer lines_of(const Transfer<Rule>& t, Simd set, Integer first, Integer last, Complex* AMP) {
  switch (set) {
#if defined(KORVO_X86_KERNELS)
    case Simd::avx512:
      return vector_lines(t, detail::transfer_lines_avx512, 8, first, last, AMP);
    case Simd::avx2:
      return vector_lines(t, detail::transfer_lines_avx2, 4, first, last, AMP);
#endif
    default:
      return lines(t, first, last, AMP);
  }
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
template <class Rule>
Integer compute_lines(const Transfer<Rule>& t, Integer first, Integer last, Integer NL,
                      Complex* AMP) {
  const Integer count = last - first + 1;
  // Chosen here: a refusal of KORVO_SIMD is reported from this thread.
  const Simd set = t.plan.simd ? *t.plan.simd : simd_level();
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

template <class Rule>
void transfer(const Grid& g, const Profile& p, const Rule& rule, const char* wave, Complex* AMP,
              LinePlan plan) {
  const Column c = {p.RHO, p.TH, p.QEXP, p.NL};
  // Out-of-range counts would read or write past the arrays (or the per-line
  // table).
  if (c.NL < 1 || c.NL > LMAX || g.NOM > NMAX) {
    char what[160];
    std::snprintf(what, sizeof what,
                  "%s transfer functions: %d layers (1 to %d allowed), %d lines (at most %d)", wave,
                  static_cast<int>(c.NL), static_cast<int>(LMAX), static_cast<int>(g.NOM),
                  static_cast<int>(NMAX));
    throw Error(what);
  }
  const std::string in_wave = std::string("in the ") + wave + " transfer functions";
  Complex P2;
  fp_stage(
      [&] {
        const Real S = rsin(p.ANGLE);
        P2 = rdiv(S * S, rule.slowness_base(c.NL));
      },
      [&] { return in_wave + ", in the half-space slowness"; });
  const Transfer<Rule> t = {g.DOM, plan, c, rule, P2, p.IFLAG == 1 ? 2.0f : 1.0f};

  Integer first = 1;
  if (g.NOM >= 1) {
    AMP[0] = {t.ANUM, 0.0f};
    AMP[AMP_STRIDE] = {1.0f, 0.0f};
    first = 2;
  }

  const Integer i = compute_lines(t, first, g.NOM, c.NL, AMP);
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

}  // namespace

void scalar_layer_transfer(const Grid& g, const Profile& p, const Real* V, const Real* Q,
                           Complex* AMP) {
  // Called with the shear or with the compressional columns.
  transfer(g, p, ScalarRule{V, Q}, "horizontal/P-wave", AMP, LinePlan{});
}

void vertical_layer_transfer(const Grid& g, const Profile& p, Complex* AMP) {
  transfer(g, p, VerticalRule{p.VP, p.QP, p.VS, p.QS}, "vertical", AMP, LinePlan{});
}

void detail::site_transfer(Integer IWAVE, const Grid& g, const Profile& p, Complex* AMP,
                           LinePlan plan) {
  if (IWAVE == 0) {
    transfer(g, p, ScalarRule{p.VS, p.QS}, "horizontal/P-wave", AMP, plan);
  } else if (IWAVE == 1) {
    transfer(g, p, VerticalRule{p.VP, p.QP, p.VS, p.QS}, "vertical", AMP, plan);
  } else {
    transfer(g, p, ScalarRule{p.VP, p.QP}, "horizontal/P-wave", AMP, plan);
  }
}

void site_transfer(Integer IWAVE, const Grid& g, const Profile& p, Complex* AMP) {
  detail::site_transfer(IWAVE, g, p, AMP, detail::LinePlan{});
}

}  // namespace korvo
