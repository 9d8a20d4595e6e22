#include <gtest/gtest.h>

#include "spectral/spectral.h"

using namespace korvo;

namespace {
Real band_weight(Real OM, Real OML1, Real OML2, Real OMH1, Real OMH2) {
  return detail::band_weight(OM, Conditioning{1, 1, OML1, OML2, OMH1, OMH2});
}
}  // namespace

TEST(BandWeight, CornersInOrder) {
  struct {
    Real om, w;
  } cases[] = {{0.5f, 0.0f}, {1.0f, 0.0f}, {1.5f, 0.5f}, {2.0f, 1.0f}, {2.5f, 1.0f},
               {3.0f, 1.0f}, {3.5f, 0.5f}, {4.0f, 0.0f}, {9.0f, 0.0f}};
  for (auto c : cases) EXPECT_EQ(band_weight(c.om, 1, 2, 3, 4), c.w) << "OM " << c.om;
}

// Across each ramp the weight is the straight line between its corners,
// rising (OM - OML1) / (OML2 - OML1) and falling (OMH2 - OM) / (OMH2 - OMH1):
// a ramp turned round still gives 1/2 at its midpoint but not at its quarters.
// Unequal ramp widths so that swapping the two ramps' formulas shows too.
TEST(BandWeight, RampsFollowTheirLines) {
  const double L1 = 0.5, L2 = 2.5, H1 = 6.0, H2 = 7.0;
  const double along[] = {0.05, 0.25, 0.4, 0.75, 0.9};
  for (double s : along) {
    const double up = L1 + s * (L2 - L1), down = H1 + s * (H2 - H1);
    EXPECT_NEAR(band_weight(static_cast<Real>(up), 0.5f, 2.5f, 6.0f, 7.0f), s, 1e-6)
        << "rising, OM " << up;
    EXPECT_NEAR(band_weight(static_cast<Real>(down), 0.5f, 2.5f, 6.0f, 7.0f), 1.0 - s, 1e-6)
        << "falling, OM " << down;
  }
}

TEST(BandWeight, DegenerateAndSwappedCorners) {
  // No rising ramp when the two lower corners are 0.
  EXPECT_EQ(band_weight(0.01f, 0, 0, 3, 4), 1.0f);
  EXPECT_EQ(band_weight(2.99f, 0, 0, 3, 4), 1.0f);
  // First two swapped: zero at or below 10, full pass on (10, 20], down to 0 at 30.
  EXPECT_EQ(band_weight(10.0f, 10, 5, 20, 30), 0.0f);
  EXPECT_EQ(band_weight(10.5f, 10, 5, 20, 30), 1.0f);
  EXPECT_EQ(band_weight(20.0f, 10, 5, 20, 30), 1.0f);
  EXPECT_EQ(band_weight(25.0f, 10, 5, 20, 30), 0.5f);
  EXPECT_EQ(band_weight(30.0f, 10, 5, 20, 30), 0.0f);
  // Overlapping ramps: the falling one wins (corners 0, 10, 2, 12 at OM 7 -> (12-7)/10).
  EXPECT_EQ(band_weight(7.0f, 0, 10, 2, 12), 0.5f);
  // The fourth corner left unset keeps the upper ramp very slow.
  EXPECT_NEAR(band_weight(50.0f, 0, 1, 40, 99999.9f), 1.0 - 10.0 / 99959.9, 1e-7);
}

namespace {

// One line (2, 4) at OM = 2 rad/s, after the pass with the given answers.
Complex pass_line(Integer INTG, Integer IBPF, Real OML1 = 0, Real OML2 = 0, Real OMH1 = 0,
                  Real OMH2 = 99999.9f) {
  Complex X[2] = {{5.0f, 6.0f}, {2.0f, 4.0f}};
  const Real A[2] = {5.0f, 2.0f}, B[2] = {6.0f, 4.0f};
  Grid g;
  g.DOM = 2.0f;
  g.NOM = 2;
  condition(X, A, B, g, Conditioning{INTG, IBPF, OML1, OML2, OMH1, OMH2});
  EXPECT_EQ(X[0].re, 0.0f);  // zero frequency always removed
  EXPECT_EQ(X[0].im, 0.0f);
  return X[1];
}

}  // namespace

TEST(ConditionPass, IntegrateDifferentiateOrLeave) {
  struct {
    Integer intg, ibpf;
    Real re, im;
  } cases[] = {
      {0, 0, 2.0f, 4.0f},   // unchanged
      {7, 2, 2.0f, 4.0f},   // unknown answers: no change, no filter
      {1, 0, 2.0f, -1.0f},  // (2 + 4i) / 2i
      {2, 0, -8.0f, 4.0f},  // (2 + 4i) * 2i
  };
  for (auto c : cases) {
    const Complex y = pass_line(c.intg, c.ibpf);
    EXPECT_EQ(y.re, c.re) << "INTG " << c.intg << " IBPF " << c.ibpf;
    EXPECT_EQ(y.im, c.im) << "INTG " << c.intg << " IBPF " << c.ibpf;
  }
}

TEST(ConditionPass, WeightBeforeIntegration) {
  // Corners 1, 3, 5, 6: OM = 2 sits half way up the rising ramp.
  const Complex y = pass_line(1, 1, 1, 3, 5, 6);
  EXPECT_EQ(y.re, 1.0f);
  EXPECT_EQ(y.im, -0.5f);
}
