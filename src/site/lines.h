// The transfer functions and the amplification W lines at a time (lanes =
// lines), written once for every width: the file that includes this header
// chooses W (KORVO_LANES). Branches become lane selections of the operands,
// never a different formula, so every stored Real has the same bits on every
// width. W = 1 is the scalar code and the reference: it calls the library's
// exp, cos, sin, pow and hypot. Wider lanes call libmvec's, within a few
// units of them; each such result is tested with near_tie where it is
// rounded or multiplied into a rounded value, and a line where one could show
// is reported for the scalar code to form again.
//
// Included by transfer.cpp (W = 1) and the instruction-set files
// site_avx2.cpp and site_avx512.cpp, which end with THESE_KERNELS.
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

// The scalar kernel as one body, the library calls apart: a line's layers
// then stay in registers between the steps.
#if KORVO_LANES == 1
#define KORVO_ONE_BODY __attribute__((flatten))
#else
#define KORVO_ONE_BODY
#endif

// Lanes where a stand-in for a library function could change a stored bit.
struct Suspect {
  M lanes = M{};
  // A vector stand-in's result near a tie. The scalar code calls the library
  // itself: nothing to report.
  void stand_in(M m) {
    if constexpr (W > 1) lanes |= m;
  }
  // A fast formula's result near a tie: true where the exact formula must be
  // used now, which the scalar code does; vector code reports the lanes.
  bool settle(M m) {
    if constexpr (W > 1) {
      lanes |= m;
      return false;
    } else {
      return lanes::all(m);
    }
  }
};

// korvo.h's cdiv: r = g/h, s = g*r + h, ((a*r + b)/s, (b*r - a)/s) where |g| <= |h|,
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

// korvo.h's rdiv: (a*r/s, -a/s) where |g| <= |h|, else (a/s, -a*r/s).
CV rdiv_v(D a, CV y) {
  const D g = y.re, h = y.im;
  const M m = lanes::vabs(g) <= lanes::vabs(h);
  const D p = m ? g : h, q = m ? h : g;
  const D r = p / q, s = p * r + q;
  const D ar = a * r, nar = -a * r;
  return {round((m ? ar : a) / s), round((m ? -a : nar) / s)};
}

// csqrt: the principal root from t = sqrt((|x| + |z|) / 2) and q = |y| / 2t,
// |z| from the exact squares; where t or q lies near a tie, hypot's modulus
// decides. On the real axis: (0, sqrt(-x)) for x < 0, else (sqrt(x), 0).
CV csqrt_v(CV z, Suspect& suspect) {
  const D x = z.re, y = z.im;
  const M real_axis = y == 0.0;
  auto axis = [&]() -> CV {
    const M left = x < 0.0;
    const D root = round(lanes::vsqrt(left ? -x : x));
    return {left ? splat(0.0) : root, left ? root : splat(0.0)};
  };
  // The scalar code branches: at z = 0 the formula below would divide 0 by 0.
  if (W == 1 && lanes::all(real_axis)) return axis();
  auto parts = [&](D modulus, D& t, D& q) {
    t = lanes::vsqrt((lanes::vabs(x) + modulus) / 2.0);
    q = lanes::vabs(y) / (2.0 * t);
  };
  D t, q;
  parts(lanes::vsqrt(x * x + y * y), t, q);
  if (suspect.settle((y != 0.0) & (lanes::near_tie(t) | lanes::near_tie(q))))
    parts(lanes::vhypot(x, y), t, q);
  const M right = x >= 0.0;
  const CV w = {round(right ? t : q), round(lanes::vcopysign(right ? q : t, y))};
  if (W == 1) return w;
  const CV on_axis = axis();
  return {real_axis ? on_axis.re : w.re, real_axis ? on_axis.im : w.im};
}

// Damping ratio of a layer on a line, F = FHZ^QEXP: one half over the
// quality factor at that frequency.
D damping_v(D F, double Q) { return round(0.5 / (F * Q)); }
// V (1 + i XI).
CV damped_v(double V, D XI) { return cmul_v({splat(V), splat(0.0)}, {splat(1.0), XI}); }
// RHO * VC, part by part.
CV impedance_v(double rho, CV VC) { return {round(rho * VC.re), round(rho * VC.im)}; }
// sqrt(1 / VC^2 - P2): the vertical wavenumber of the layer over OM.
CV vertical_slowness_v(CV VC, CV P2, Suspect& suspect) {
  return csqrt_v(csub_v(rdiv_v(splat(1.0), cmul_v(VC, VC)), P2), suspect);
}

// The complex velocity of layer k: V damped by Q, or by the vertical rule
// the effective velocity VS sqrt(3 / (1 - VS^2 / VP^2)) from both damped
// velocities. Undamped velocities without damping (QEXP = 999).
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

// exp(z) and exp(-z), each exactly as cexp forms it: cos(-y) = cos y and
// sin(-y) = -sin y bit for bit, and e^0 = 1, so one cos/sin pair serves both
// and an elastic layer below the critical angle needs no exponential.
// cos(+-0) = 1 and sin(+-0) = +-0 exactly, as the library's. e^-x is
// `reciprocal` of e^x (within a few units of e^-x) where that cannot show in
// the rounded Real, else the library's; the scalar code takes the library's
// from |x| = 80 on, so that neither can overflow nor divide by 0 (a vector
// group whose flags rise is formed again by the scalar code).
template <class Reciprocal>
void cexp_pair_v(CV z, CV& E1, CV& E2, Suspect& suspect, Reciprocal reciprocal) {
  const M moving = z.re != 0.0;
  const D e = lanes::vexp(z.re);
  suspect.stand_in(moving & lanes::near_tie(e));
  D inv;
  if (W == 1 && !lanes::all(lanes::vabs(z.re) < 80.0)) {
    inv = lanes::vexp(-z.re);
  } else {
    inv = reciprocal(e);
    if (suspect.settle(moving & lanes::near_tie(inv))) inv = lanes::vexp(-z.re);
  }
  const D ex1 = moving ? round(e) : splat(1.0), ex2 = moving ? round(inv) : splat(1.0);
  const M turning = z.im != 0.0;
  const D c = turning ? lanes::vcos(z.im) : splat(1.0);
  const D s = turning ? lanes::vsin(z.im) : z.im;
  const D p11 = ex1 * c, p12 = ex1 * s, p21 = ex2 * c, p22 = ex2 * -s;
  suspect.stand_in(turning & (lanes::near_tie(p11) | lanes::near_tie(p12) | lanes::near_tie(p21) |
                              lanes::near_tie(p22)));
  E1 = {round(p11), round(p12)};
  E2 = {round(p21), round(p22)};
}
void cexp_pair_v(CV z, CV& E1, CV& E2, Suspect& suspect) {
  cexp_pair_v(z, E1, E2, suspect, [](D e) { return 1.0 / e; });
}

// The running product of layer matrices, (UP, DN) at the top of the
// half-space = PM x (UP, DN) at the surface.
struct ProductV {
  CV PM11, PM12, PM21, PM22;
};

// One boundary step, layer j over layer j+1, in two halves. First the
// layer's phase factors E1 = exp(i KZ TH) and E2 = exp(-i KZ TH), KZ = OM S
// from layer j's vertical slowness S; i KZ TH = (-Im, Re) of KZ TH.
void phase_factors_v(CV S, D OM, double THJ, CV& E1, CV& E2, Suspect& suspect) {
  const CV KZ = {round(OM * S.re), round(OM * S.im)};
  const CV KT = {round(KZ.re * THJ), round(KZ.im * THJ)};
  cexp_pair_v({-KT.im, KT.re}, E1, E2, suspect);
}

// Then the layer's matrix into the running product, from the impedance ratio
// ALPHA: (1 +- ALPHA) E / 2 (the sum changes only the real part; each part of
// the product is halved), and a*x + b*y in one step, the four products and
// their sums wide, rounded once.
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

// F = FHZ^QEXP of the lines at OM, FHZ = OM / TWOPI a float quotient; 0
// without damping.
D power_v(const TransferJob& job, D OM, Suspect& suspect) {
  if (!job.damp) return splat(0.0);
  const D FHZ = round(OM / static_cast<double>(TWOPI));
  const D F = lanes::vpow(FHZ, splat(job.QEXP));
  suspect.stand_in(lanes::near_tie(F));
  return round(F);
}

// The surface-to-input and surface-to-half-space ratios from the product.
void finish_v(const TransferJob& job, const ProductV& P, CV& A1, CV& A2) {
  const CV AN = cadd_v(P.PM12, P.PM11);
  A1 = rdiv_v(splat(job.ANUM), AN);
  A2 = rdiv_v(splat(2.0), cadd_v(cadd_v(AN, P.PM21), P.PM22));
}

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
  const D F = power_v(job, OM, suspect);
  // The velocities VC (kept in E2, then the slownesses) and the impedances Z
  // (kept in E1) of every layer, the ratios, the slownesses.
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

// The lines' transfer functions, line i at OM = (i - 1) DOM; lanes past
// count repeat the last line.
KORVO_ONE_BODY
unsigned transfer_lines(const TransferJob& job, Integer first, Integer count, Complex* AMP) {
  D I1;  // (i - 1) as a Real
  for (int k = 0; k < W; ++k)
    lanes::set(I1, k, static_cast<double>(first - 1 + (k < count ? k : count - 1)));
  Suspect suspect;
  Layers L;
  layers(job, round(I1 * static_cast<double>(job.DOM)), L, suspect);
  const CV zero = {splat(0.0), splat(0.0)}, one = {splat(1.0), splat(0.0)};
  ProductV P = {one, zero, zero, one};
  for (Integer j = job.NL - 1; j >= 1; --j) product_v(P, L.ALPHA[j - 1], L.E1[j - 1], L.E2[j - 1]);

  CV A1, A2;
  finish_v(job, P, A1, A2);
  for (int k = 0; k < count; ++k) {
    const Integer i = first + k;
    AMP[i - 1] = lanes::lane(A1, k);
    AMP[AMP_STRIDE + i - 1] = lanes::lane(A2, k);
  }
  return lanes::bits(suspect.lanes) & ((1u << count) - 1);
}

// The travel-time phase factor of the lines at OM: one factor per layer
// above the half-space from its own rounded angle TH * OM / VS. The sign
// advances the motion (the forward transform has exp(-i...)); shear
// velocities for every wave type, since the time is that of the shear wave
// the layers were measured with. A phase of exactly 0 (line 1, a layer of no
// thickness) has cos 1 and sin +-0, as the library's.
CV phase_factor_v(const PhaseJob& job, D OM, Suspect& suspect) {
  CV PH = {splat(1.0), splat(0.0)};
  for (Integer J = 1; J <= job.NL - 1; ++J) {
    const D theta =
        round(static_cast<double>(job.TH[J - 1]) * OM / static_cast<double>(job.VS[J - 1]));
    const M turning = theta != 0.0;
    const D c = turning ? lanes::vcos(theta) : splat(1.0);
    const D sn = turning ? lanes::vsin(theta) : theta;
    suspect.stand_in(turning & (lanes::near_tie(c) | lanes::near_tie(sn)));
    PH = cmul_v({round(c), round(sn)}, PH);
  }
  return PH;
}

// Lines first .. first + count - 1: X(I) times S(I) and the phase factor.
unsigned amplify_lines(const PhaseJob& job, Integer first, Integer count, const Complex* S,
                       const Complex* X, Complex* Y) {
  D I1;
  CV s, x;
  for (int k = 0; k < W; ++k) {
    const Integer I = first + (k < count ? k : count - 1);
    lanes::set(I1, k, static_cast<double>(I - 1));
    lanes::set(s.re, k, S[I - 1].re), lanes::set(s.im, k, S[I - 1].im);
    lanes::set(x.re, k, X[I - 1].re), lanes::set(x.im, k, X[I - 1].im);
  }
  const D OM = round(I1 * static_cast<double>(job.DOM));
  Suspect suspect;
  const CV Xn = cmul_v(cmul_v(s, x), phase_factor_v(job, OM, suspect));
  for (int k = 0; k < count; ++k) Y[k] = lanes::lane(Xn, k);
  return lanes::bits(suspect.lanes) & ((1u << count) - 1);
}

unsigned cexp_pair_lanes(const Complex* z, Complex* E1, Complex* E2) {
  CV zv, e1, e2;
  for (int k = 0; k < W; ++k) lanes::set(zv.re, k, z[k].re), lanes::set(zv.im, k, z[k].im);
  Suspect suspect;
  cexp_pair_v(zv, e1, e2, suspect);
  for (int k = 0; k < W; ++k) E1[k] = lanes::lane(e1, k), E2[k] = lanes::lane(e2, k);
  return lanes::bits(suspect.lanes);
}

constexpr SiteKernels THESE_KERNELS = {W, transfer_lines, amplify_lines, cexp_pair_lanes};

}  // namespace
}  // namespace korvo::detail
