// The transfer functions W lines at a time (lanes = lines): transfer.cpp's
// formulas operation for operation, each function here named after the one
// it mirrors, so that every stored Real has the scalar bits. Branches become
// lane selections of the operands, never a different formula. The library's
// exp, cos, sin and pow are replaced by libmvec's, within a few units of
// them; each such result is tested with near_tie where it is rounded or
// multiplied into a rounded value, and a line where one could show is
// reported for the scalar code to form again.
//
// Included only by the instruction-set files site_avx2.cpp and site_avx512.cpp.
#pragma once

#include "simd/lanes.h"
#include "site/kernels.h"

namespace korvo::detail {
namespace {

using lanes::cadd_v;
using lanes::cmul_v;
using lanes::csub_v;
using lanes::CV;
using lanes::D;
using lanes::M;
using lanes::round;
using lanes::splat;
using lanes::W;

// Lanes where a stand-in for a library function could change a stored bit.
struct Suspect {
  M lanes = M{};
  void add(M m) { lanes |= m; }
};

// cdiv: r = g/h, s = g*r + h, ((a*r + b)/s, (b*r - a)/s) where |g| <= |h|,
// else r = h/g, s = h*r + g, ((b*r + a)/s, (b - a*r)/s).
CV cdiv_v(CV x, CV y) {
  const D a = x.re, b = x.im, g = y.re, h = y.im;
  const M m = lanes::vabs(g) <= lanes::vabs(h);
  const D p = m ? g : h, q = m ? h : g;
  const D r = p / q, s = p * r + q;
  const D u = m ? a : b, v = m ? b : a;
  const D wr = (m ? b : a) * r;
  return {round((u * r + v) / s), round(((m ? wr : b) - (m ? a : wr)) / s)};
}

// rdiv: (a*r/s, -a/s) where |g| <= |h|, else (a/s, -a*r/s).
CV rdiv_v(D a, CV y) {
  const D g = y.re, h = y.im;
  const M m = lanes::vabs(g) <= lanes::vabs(h);
  const D p = m ? g : h, q = m ? h : g;
  const D r = p / q, s = p * r + q;
  const D ar = a * r, nar = -a * r;
  return {round((m ? ar : a) / s), round((m ? -a : nar) / s)};
}

// csqrt with the exact-squares modulus; where t or q lies near a tie the
// scalar root turns to hypot, so those lanes are suspect.
CV csqrt_v(CV z, Suspect& suspect) {
  const D x = z.re, y = z.im;
  const M real_axis = y == 0.0;
  const D t = lanes::vsqrt((lanes::vabs(x) + lanes::vsqrt(x * x + y * y)) / 2.0);
  const D q = lanes::vabs(y) / (2.0 * t);
  suspect.add(~real_axis & (lanes::near_tie(t) | lanes::near_tie(q)));
  const M right = x >= 0.0;
  CV w = {round(right ? t : q), round(lanes::vcopysign(right ? q : t, y))};
  // On the real axis: (0, sqrt(-x)) for x < 0, else (sqrt(x), 0).
  const M left = x < 0.0;
  const D root = round(lanes::vsqrt(left ? -x : x));
  w.re = real_axis ? (left ? splat(0.0) : root) : w.re;
  w.im = real_axis ? (left ? root : splat(0.0)) : w.im;
  return w;
}

D damping_v(D F, double Q) { return round(0.5 / (F * Q)); }
CV damped_v(double V, D XI) { return cmul_v({splat(V), splat(0.0)}, {splat(1.0), XI}); }
CV impedance_v(double rho, CV VC) { return {round(rho * VC.re), round(rho * VC.im)}; }
CV vertical_slowness_v(CV VC, CV P2, Suspect& suspect) {
  return csqrt_v(csub_v(rdiv_v(splat(1.0), cmul_v(VC, VC)), P2), suspect);
}

// ScalarRule::velocity and VerticalRule::velocity.
CV velocity_v(const TransferJob& job, Integer k, D F, Suspect& suspect) {
  const Integer i = k - 1;
  if (!job.vertical) {
    if (!job.damp) return {splat(job.V[i]), splat(0.0)};
    return damped_v(job.V[i], damping_v(F, job.Q[i]));
  }
  CV VSC = {splat(job.VS[i]), splat(0.0)}, VPC = {splat(job.VP[i]), splat(0.0)};
  if (job.damp) {
    VSC = damped_v(job.VS[i], damping_v(F, job.QS[i]));
    VPC = damped_v(job.VP[i], damping_v(F, job.QP[i]));
  }
  const CV Q = cdiv_v(cmul_v(VSC, VSC), cmul_v(VPC, VPC));
  const CV CF = csqrt_v(rdiv_v(splat(3.0), {round(1.0 - Q.re), -Q.im}), suspect);
  return cmul_v(VSC, CF);
}

// cexp_pair: exp(z) and exp(-z) from one cos/sin pair; e^-x as 1/e^x, which
// the scalar code also uses below |x| = 80 and which lies within a few units
// of e^-x elsewhere. cos(+-0) = 1 and sin(+-0) = +-0 exactly, as the library's.
void cexp_pair_v(CV z, CV& E1, CV& E2, Suspect& suspect) {
  const M moving = z.re != 0.0;
  const D e = lanes::vexp(z.re), inv = 1.0 / e;
  suspect.add(moving & (lanes::near_tie(e) | lanes::near_tie(inv)));
  const D ex1 = moving ? round(e) : splat(1.0), ex2 = moving ? round(inv) : splat(1.0);
  const M turning = z.im != 0.0;
  const D c = turning ? lanes::vcos(z.im) : splat(1.0);
  const D s = turning ? lanes::vsin(z.im) : z.im;
  const D p11 = ex1 * c, p12 = ex1 * s, p21 = ex2 * c, p22 = ex2 * -s;
  suspect.add(turning & (lanes::near_tie(p11) | lanes::near_tie(p12) | lanes::near_tie(p21) |
                         lanes::near_tie(p22)));
  E1 = {round(p11), round(p12)};
  E2 = {round(p21), round(p22)};
}

struct ProductV {
  CV PM11, PM12, PM21, PM22;
};

// boundary, first half: the layer's phase factors E1 = exp(i KZ TH) and E2 = exp(-i KZ TH).
void phase_factors_v(CV S, D OM, double THJ, CV& E1, CV& E2, Suspect& suspect) {
  const CV KZ = {round(OM * S.re), round(OM * S.im)};
  const CV KT = {round(KZ.re * THJ), round(KZ.im * THJ)};
  cexp_pair_v({-KT.im, KT.re}, E1, E2, suspect);
}

// boundary, second half: the layer's matrix into the running product.
void product_v(ProductV& P, CV ALPHA, CV E1, CV E2) {
  const CV ap = {round(1.0 + ALPHA.re), ALPHA.im}, am = {round(1.0 - ALPHA.re), -ALPHA.im};
  auto half = [](CV z) -> CV { return {round(z.re / 2.0), round(z.im / 2.0)}; };
  const CV T11 = half(cmul_v(ap, E1)), T12 = half(cmul_v(am, E2));
  const CV T21 = half(cmul_v(am, E1)), T22 = half(cmul_v(ap, E2));

  auto madd = [](CV a, CV x, CV b, CV y) -> CV {
    return {round(a.re * x.re - a.im * x.im + (b.re * y.re - b.im * y.im)),
            round(a.im * x.re + a.re * x.im + (b.im * y.re + b.re * y.im))};
  };
  const ProductV old = P;
  P.PM11 = madd(T11, old.PM11, T21, old.PM12);
  P.PM12 = madd(T12, old.PM11, T22, old.PM12);
  P.PM21 = madd(T11, old.PM21, T21, old.PM22);
  P.PM22 = madd(T12, old.PM21, T22, old.PM22);
}

CV splat(Complex z) { return {splat(z.re), splat(z.im)}; }

// Everything of W lines but the running product, boundary j at j - 1:
// ALPHA, E1 and E2. The layers are taken in passes, each over every layer
// before the next (velocities, impedance ratios, vertical slownesses, phase
// factors): within a pass the layers are independent, so the long chains of
// divisions and roots of one overlap with the next's. What the passes keep
// stays in the first-level cache.
struct Layers {
  CV ALPHA[LMAX], E1[LMAX], E2[LMAX];
};

void layers(const TransferJob& job, D OM, Layers& L, Suspect& suspect) {
  const Integer NL = job.NL;
  if (NL < 2) return;
  if (job.ALPHA != nullptr) {
    for (Integer j = NL - 1; j >= 1; --j) {
      L.ALPHA[j - 1] = splat(job.ALPHA[j - 1]);
      phase_factors_v(splat(job.S[j - 1]), OM, job.TH[j - 1], L.E1[j - 1], L.E2[j - 1], suspect);
    }
    return;
  }
  // power(OM / TWOPI), a float quotient.
  const D FHZ = round(OM / static_cast<double>(TWOPI));
  const D Fw = lanes::vpow(FHZ, splat(job.QEXP));
  suspect.add(lanes::near_tie(Fw));
  const D F = round(Fw);
  // Transfer::fill: the velocities VC (kept in E2, then the slownesses) and
  // the impedances Z (kept in E1) of every layer, the ratios, the slownesses.
  CV* VC = L.E2;
  CV* Z = L.E1;
  for (Integer k = NL; k >= 1; --k) {
    VC[k - 1] = velocity_v(job, k, F, suspect);
    Z[k - 1] = impedance_v(job.RHO[k - 1], VC[k - 1]);
  }
  for (Integer j = NL - 1; j >= 1; --j) L.ALPHA[j - 1] = cdiv_v(Z[j - 1], Z[j]);
  const CV P2 = splat(job.P2);
  for (Integer j = NL - 1; j >= 1; --j) VC[j - 1] = vertical_slowness_v(VC[j - 1], P2, suspect);
  for (Integer j = NL - 1; j >= 1; --j)
    phase_factors_v(VC[j - 1], OM, job.TH[j - 1], L.E1[j - 1], L.E2[j - 1], suspect);
}

// Transfer::line for W lines; lanes past count repeat the last line.
unsigned transfer_lines(const TransferJob& job, Integer first, Integer count, Complex* AMP) {
  D I1;  // (i - 1) as a Real
  for (int k = 0; k < W; ++k) I1[k] = static_cast<double>(first - 1 + (k < count ? k : count - 1));
  Suspect suspect;
  Layers L;
  layers(job, round(I1 * static_cast<double>(job.DOM)), L, suspect);
  const CV zero = {splat(0.0), splat(0.0)}, one = {splat(1.0), splat(0.0)};
  ProductV P = {one, zero, zero, one};
  for (Integer j = job.NL - 1; j >= 1; --j) product_v(P, L.ALPHA[j - 1], L.E1[j - 1], L.E2[j - 1]);

  // Transfer::finish.
  const CV AN = cadd_v(P.PM12, P.PM11);
  const CV A1 = rdiv_v(splat(job.ANUM), AN);
  const CV A2 = rdiv_v(splat(2.0), cadd_v(cadd_v(AN, P.PM21), P.PM22));
  for (int k = 0; k < count; ++k) {
    const Integer i = first + k;
    AMP[i - 1] = {static_cast<Real>(A1.re[k]), static_cast<Real>(A1.im[k])};
    AMP[AMP_STRIDE + i - 1] = {static_cast<Real>(A2.re[k]), static_cast<Real>(A2.im[k])};
  }
  return lanes::bits(suspect.lanes) & ((1u << count) - 1);
}

}  // namespace
}  // namespace korvo::detail
