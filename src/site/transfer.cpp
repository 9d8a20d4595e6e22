#include <cstdio>

#include "site/site.h"

namespace korvo {

namespace {

// The running product of layer matrices, (UP, DN) at the top of the
// half-space = PM x (UP, DN) at the surface.
struct Product {
  Complex PM11, PM12, PM21, PM22;
};

// What one boundary needs of one layer on the current line: its complex
// (or effective) velocity and the density times that velocity.
struct LayerLine {
  Complex VC;
  Complex Z;  // RHO * VC, part by part
};

// One boundary step: layer j (upper, its velocity VC1) over layer j+1 (VC2).
// Every named quantity is rounded once when stored; PM and T entries are one
// double step each.
inline void boundary(Product& P, const LayerLine& upper, const LayerLine& lower, Real OM,
                     Complex P2, Real THJ) {
  const Complex ALPHA = cdiv(upper.Z, lower.Z);

  const Complex VC1SQ = cmul(upper.VC, upper.VC);
  const Complex R = rdiv(1.0f, VC1SQ);
  const Complex S = csqrt(csub(R, P2));
  const Complex KZ = {OM * S.re, OM * S.im};

  // i KZ TH = (-Im, Re) of KZ TH.
  const Complex KT = {KZ.re * THJ, KZ.im * THJ};
  const Complex E1 = cexp({-KT.im, KT.re});
  const Complex E2 = cexp({KT.im, -KT.re});

  const double ap = 1.0 + wide(ALPHA.re), am = 1.0 - wide(ALPHA.re), ai = wide(ALPHA.im);
  const Complex T11 = {real(0.5 * (ap * E1.re - ai * E1.im)),
                       real(0.5 * (ai * E1.re + ap * E1.im))};
  const Complex T12 = {real(0.5 * (am * E2.re + ai * E2.im)),
                       real(0.5 * (am * E2.im - ai * E2.re))};
  const Complex T21 = {real(0.5 * (am * E1.re + ai * E1.im)),
                       real(0.5 * (am * E1.im - ai * E1.re))};
  const Complex T22 = {real(0.5 * (ap * E2.re - ai * E2.im)),
                       real(0.5 * (ai * E2.re + ap * E2.im))};

  // a*x + b*y, one rounding per part.
  auto madd = [](Complex a, Complex x, Complex b, Complex y) -> Complex {
    return {real(wide(a.re) * x.re - wide(a.im) * x.im + wide(b.re) * y.re - wide(b.im) * y.im),
            real(wide(a.im) * x.re + wide(a.re) * x.im + wide(b.im) * y.re + wide(b.re) * y.im)};
  };
  const Product old = P;
  P.PM11 = madd(T11, old.PM11, T21, old.PM12);
  P.PM12 = madd(T12, old.PM11, T22, old.PM12);
  P.PM21 = madd(T11, old.PM21, T21, old.PM22);
  P.PM22 = madd(T12, old.PM21, T22, old.PM22);
}

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
};

struct Grid {
  Real OM0, DOM;
  Integer NOM, NCAP;
};

struct Column {
  const Real* RHO;
  const Real* TH;
  Real QEXP;
  Integer NL;
};

// Lines 1..NOM with OM0 = 0 fill line 1 with the zero-frequency limit.
// Returns the boundary whose step first raised a fault flag when Probe is
// set (0 for a fault after the boundaries), else 0.
template <bool Probe, class Rule>
Integer line(const Grid& g, const Column& c, const Rule& rule, Complex P2, Real ANUM, Integer i,
             Complex* AMP) {
  const Real OM = real(wide(static_cast<Real>(i - 1)) * g.DOM + g.OM0);
  const Real FHZ = OM / TWOPI;
  const Integer NL = c.NL;

  Product P = {{1.0f, 0.0f}, {0.0f, 0.0f}, {0.0f, 0.0f}, {1.0f, 0.0f}};
  if (NL > 1) {
    const bool damp = c.QEXP != 999.0f;
    const Real F = damp ? rpow(FHZ, c.QEXP) : 0.0f;
    auto layer = [&](Integer k) -> LayerLine {
      const Complex VC = rule.velocity(k, damp, F);
      const Real rho = c.RHO[k - 1];
      return {VC, {rho * VC.re, rho * VC.im}};
    };
    // Each layer's velocity is formed once per line and serves both of its
    // boundaries: the same inputs give the same bits.
    LayerLine lower = layer(NL);
    for (Integer j = NL - 1; j >= 1; --j) {
      const LayerLine upper = layer(j);
      boundary(P, upper, lower, OM, P2, c.TH[j - 1]);
      if (Probe && fp_fault()) return j;
      lower = upper;
    }
  }

  const Complex AN = cadd(P.PM12, P.PM11);
  AMP[i - 1] = rdiv(ANUM, AN);
  AMP[g.NCAP + i - 1] = rdiv(2.0f, cadd(cadd(AN, P.PM21), P.PM22));
  return 0;
}

template <class Rule>
void transfer(const Grid& g, const Column& c, const Rule& rule, Real ANGLE, Integer IFLAG,
              const char* wave, Complex* AMP) {
  char where[160];
  fp_clear();
  const Real S = rsin(ANGLE);
  const Complex P2 = rdiv(S * S, rule.slowness_base(c.NL));
  if (const char* f = fp_fault()) {
    std::snprintf(where, sizeof where, "in the %s transfer functions, in the half-space slowness",
                  wave);
    fp_error(f, where);
  }

  const Real ANUM = IFLAG == 1 ? 2.0f : 1.0f;
  Integer first = 1;
  if (g.OM0 == 0.0f) {
    AMP[0] = {ANUM, 0.0f};
    AMP[g.NCAP] = {1.0f, 0.0f};
    first = 2;
  }

  for (Integer i = first; i <= g.NOM; ++i) {
    line<false>(g, c, rule, P2, ANUM, i, AMP);
    if (!fp_fault()) continue;
    // Rare: recompute the line testing after every boundary to name it.
    fp_clear();
    const Integer j = line<true>(g, c, rule, P2, ANUM, i, AMP);
    const char* f = fp_fault();
    const double fhz = wide(real(wide(static_cast<Real>(i - 1)) * g.DOM + g.OM0) / TWOPI);
    if (j > 0) {
      std::snprintf(where, sizeof where,
                    "in the %s transfer functions at frequency line %d (%.6g Hz), boundary %d "
                    "(layers %d and %d)",
                    wave, static_cast<int>(i), fhz, static_cast<int>(j), static_cast<int>(j),
                    static_cast<int>(j + 1));
    } else {
      std::snprintf(where, sizeof where,
                    "in the %s transfer functions at frequency line %d (%.6g Hz), in the "
                    "surface-to-half-space ratios",
                    wave, static_cast<int>(i), fhz);
    }
    fp_error(f ? f : "unknown", where);
  }
}

}  // namespace

void scalar_layer_transfer(Real OM0, Real DOM, Integer NOM, Integer NCAP, const Real* RHO,
                           const Real* V, const Real* Q, const Real* TH, Real QEXP, Integer NL,
                           Integer /*LCAP*/, Real ANGLE, Integer IFLAG, Complex* AMP) {
  // Called with the shear or with the compressional columns.
  transfer(Grid{OM0, DOM, NOM, NCAP}, Column{RHO, TH, QEXP, NL}, ScalarRule{V, Q}, ANGLE, IFLAG,
           "horizontal/P-wave", AMP);
}

void vertical_layer_transfer(Real OM0, Real DOM, Integer NOM, Integer NCAP, const Real* RHO,
                             const Real* VP, const Real* QP, const Real* VS, const Real* QS,
                             const Real* TH, Real QEXP, Integer NL, Integer /*LCAP*/, Real ANGLE,
                             Integer IFLAG, Complex* AMP) {
  transfer(Grid{OM0, DOM, NOM, NCAP}, Column{RHO, TH, QEXP, NL}, VerticalRule{VP, QP, VS, QS},
           ANGLE, IFLAG, "vertical", AMP);
}

}  // namespace korvo
