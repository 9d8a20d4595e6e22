#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "nonlinear/nonlinear.h"
#include "nonlinear/trials.h"
#include "simd/simd.h"

namespace korvo::nonlinear {

namespace {

// The backbone's strain variable per unit strain: |g| 100 / gamma_r (MKZ) or
// |g| Gmax / tau_max (GQ/H). Taken once, so that no evaluation divides by it.
inline double strain_scale(const Element& e) {
  return e.model == Model::Gqh ? e.gmax / e.tau_max : 100.0 / e.gamma_r;
}

// The one power a backbone needs at strain g, as its base and exponent; false
// where it needs none. Apart, so that a caller can take many at once.
inline bool power_of(const Element& e, double scale, double g, double& base, double& expo) {
  if (!e.hysteretic) return false;
  const double x = std::abs(g) * scale;
  if (e.model == Model::Gqh) {
    if (!(x > 0.0 && e.theta[1] != 0.0)) return false;
    base = e.theta[2] / x;
    expo = e.theta[4];
    return true;
  }
  // s = 1 (the hyperbola) is common enough to spare the power.
  if (e.s == 1.0 || !(x > 0.0)) return false;
  base = x;
  expo = e.s;
  return true;
}

// GQ/H given p = (theta3 / x)^theta5 where power_of asked for it.
void gqh(const Element& e, double x, double g, double p, double& tau, double& tangent) {
  const double* th = e.theta;
  // w = x^t5 / (t3^t5 / t4 + x^t5) = 1 / (1 + (t3 / x)^t5 / t4), one power,
  // and x dw/dx = t5 w (1 - w); none at x = 0.
  double w = 0.0, xdw = 0.0;
  if (x > 0.0 && th[1] != 0.0) {
    w = 1.0 / (1.0 + p / th[3]);
    xdw = th[4] * w * (1.0 - w);
  }
  const double theta = th[0] + th[1] * w;
  const double b = 1.0 + x;
  const double root = std::sqrt(std::max(0.0, b * b - 4.0 * theta * x));
  const double den = b + root;
  const double r = 2.0 * x / den;  // tau / tau_max
  tau = g < 0.0 ? -e.tau_max * r : e.tau_max * r;
  // d root / dx = (b - 2 theta - 2 x dtheta/dx) / root; where root vanishes
  // (theta = 1 at x = 1) the curve has a corner: the mean of its two sides.
  const double dtheta = th[1] * xdw;  // x dtheta/dx
  const double droot = root > 0.0 ? (b - 2.0 * theta - 2.0 * dtheta) / root : 0.0;
  tangent = e.gmax * (2.0 * den - 2.0 * x * (1.0 + droot)) / (den * den);
}

// The backbone at g given the power power_of asked for (any value where it asked none).
inline void backbone_with(const Element& e, double scale, double g, double p, double& tau,
                          double& tangent) {
  if (!e.hysteretic) {
    tau = e.gmax * g;
    tangent = e.gmax;
    return;
  }
  const double x = std::abs(g) * scale;
  if (e.model == Model::Gqh) {
    gqh(e, x, g, p, tau, tangent);
    return;
  }
  if (e.s == 1.0)
    p = x;
  else if (!(x > 0.0))
    p = 0.0;
  const double r = 1.0 / (1.0 + e.beta * p);
  tau = e.gmax * g * r;
  tangent = e.gmax * (1.0 + e.beta * (1.0 - e.s) * p) * r * r;
}

}  // namespace

// The hysteresis lives beside the time stepping, where the compiler can
// inline it into the loop over elements.
void backbone(const Element& e, double g, double& tau, double& tangent) {
  if (!e.hysteretic) {
    tau = e.gmax * g;
    tangent = e.gmax;
    return;
  }
  const double scale = strain_scale(e);
  double base = 0.0, expo = 0.0, p = 0.0;
  if (power_of(e, scale, g, base, expo)) p = std::pow(base, expo);
  backbone_with(e, scale, g, p, tau, tangent);
}

namespace {

// Where strain g lies, seen from the committed state: whether the committed
// strain becomes a new reversal point, and how many reversal points stay
// remembered once the loops g closes are taken off.
struct Branch {
  bool reversal = false;
  std::size_t size = 0;
};

// tau/g on the backbone at strain gm and F there.
void secant_and_factor(const Element& e, double gm, double& secant, double& F) {
  gm = std::abs(gm);
  double tau = 0.0, tangent = 0.0;
  backbone(e, gm, tau, tangent);
  secant = gm > 0.0 ? tau / gm : e.gmax;
  const double loss = 1.0 - secant / e.gmax;
  F = e.p1 - e.p2 * (loss > 0.0 ? std::pow(loss, e.p3) : 0.0);
}

[[gnu::always_inline]] inline Branch locate(const Hysteresis& h, double g) {
  const std::size_t n = h.g.size();
  const double step = g - h.g_now;
  Branch b;
  b.reversal = h.direction != 0 && step != 0.0 && (step > 0.0) != (h.direction > 0);
  b.size = n + (b.reversal ? 1 : 0);
  auto rev = [&](std::size_t i) { return i < n ? h.g[i] : h.g_now; };
  // The branch from reversal k heads back to reversal k - 1, where it closes
  // the loop they make, and the path goes on along the branch from k - 2.
  // The first branch off the backbone heads to the mirror of its start:
  // Masing's rule puts the backbone there, and the path rejoins it.
  // Example: 0 -> 0.5 -> -0.2 -> 0.3 -> 0.1 -> 0.4 closes the loop
  // 0.3 -> 0.1 at 0.3 and goes on along the branch from -0.2.
  while (b.size >= 1) {
    const double from = rev(b.size - 1);
    const double to = b.size >= 2 ? rev(b.size - 2) : -rev(0);
    if (!(to > from ? g > to : g < to)) break;
    b.size -= b.size >= 2 ? 2 : 1;
  }
  return b;
}

// The strain at which a trial at g on branch b reads the backbone.
inline double backbone_strain(const Hysteresis& h, const Branch& b, double g) {
  if (b.size == 0) return g;
  const std::size_t k = b.size - 1;
  return (g - (k == h.g.size() ? h.g_now : h.g[k])) / 2.0;
}

// Stress and tangent at g on branch b, given the power the backbone needs at
// backbone_strain(h, b, g).
[[gnu::always_inline]] inline void evaluate_with(const Element& e, double scale,
                                                 const Hysteresis& h, const Branch& b, double g,
                                                 double p, double& tau, double& tangent) {
  if (b.size == 0) {
    backbone_with(e, scale, g, p, tau, tangent);
    return;
  }
  const std::size_t k = b.size - 1;
  const bool fresh = k == h.g.size();
  const double g0 = fresh ? h.g_now : h.g[k];
  const double t0 = fresh ? h.tau_now : h.tau[k];
  double f = 0.0;
  backbone_with(e, scale, (g - g0) / 2.0, p, f, tangent);
  if (!h.mrdf) {
    tau = t0 + 2.0 * f;
    return;
  }
  // The secant of the largest loop runs from (g0, t0) to the reversal the
  // branch heads for: the departure from it, scaled by F, keeps the branch
  // through both ends.
  double F = h.f, secant = h.secant;
  if (h.g.empty()) secant_and_factor(e, h.g_now, secant, F);
  const double x = g - g0;
  tau = t0 + secant * x + F * (2.0 * f - secant * x);
  tangent = secant + F * (tangent - secant);
}

void evaluate(const Element& e, const Hysteresis& h, const Branch& b, double g, double& tau,
              double& tangent) {
  const double scale = strain_scale(e);
  double base = 0.0, expo = 0.0, p = 0.0;
  if (power_of(e, scale, backbone_strain(h, b, g), base, expo)) p = std::pow(base, expo);
  evaluate_with(e, scale, h, b, g, p, tau, tangent);
}

}  // namespace

double mrdf_factor(const Element& e, double gm) {
  double secant = 0.0, F = 0.0;
  secant_and_factor(e, gm, secant, F);
  return F;
}

void start(const Element& e, Hysteresis& h, Unloading unloading) {
  h = Hysteresis{};
  h.tangent = e.gmax;
  h.mrdf = unloading == Unloading::Mrdf;
}

void trial(const Element& e, const Hysteresis& h, double g, double& tau, double& tangent) {
  if (!e.hysteretic) {
    tau = e.gmax * g;
    tangent = e.gmax;
    return;
  }
  evaluate(e, h, locate(h, g), g, tau, tangent);
}

void commit(const Element& e, Hysteresis& h, double g) {
  double tau = 0.0, tangent = 0.0;
  trial(e, h, g, tau, tangent);
  commit(e, h, g, tau, tangent);
}

namespace {

// Commits strain g on the branch that locate() found for it.
[[gnu::always_inline]] inline void settle(const Element& e, Hysteresis& h, const Branch& b,
                                          double g, double tau, double tangent) {
  if (e.hysteretic) {
    if (b.reversal) {
      if (h.mrdf && h.g.empty()) secant_and_factor(e, h.g_now, h.secant, h.f);
      h.g.push_back(h.g_now);
      h.tau.push_back(h.tau_now);
    }
    if (b.size != h.g.size()) {
      h.g.resize(b.size);
      h.tau.resize(b.size);
    }
  }
  if (g != h.g_now) h.direction = g > h.g_now ? 1 : -1;
  h.g_now = g;
  h.tau_now = tau;
  h.tangent = tangent;
}

}  // namespace

void commit(const Element& e, Hysteresis& h, double g, double tau, double tangent) {
  settle(e, h, e.hysteretic ? locate(h, g) : Branch{}, g, tau, tangent);
}

namespace {

void check(const std::vector<Element>& elements, const column::HalfSpace& halfspace,
           const column::Motion& motion, const Options& o) {
  if (elements.empty()) throw korvo::Error("the column has no elements");
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const Element& e = elements[i];
    if (!(e.thickness > 0.0 && e.rho > 0.0 && e.gmax > 0.0 && e.xi >= 0.0) ||
        (e.hysteretic && e.model == Model::Mkz &&
         !(e.gamma_r > 0.0 && e.s > 0.0 && e.beta > 0.0)) ||
        (e.hysteretic && e.model == Model::Gqh &&
         !(e.tau_max > 0.0 && e.theta[0] <= 1.0 && e.theta[0] + e.theta[1] <= 1.0 &&
           e.theta[2] > 0.0 && e.theta[3] > 0.0 && e.theta[4] > 0.0)) ||
        (o.unloading == Unloading::Mrdf && e.hysteretic &&
         !(e.p1 >= 0.0 && e.p1 - e.p2 >= 0.0 && e.p3 > 0.0)))
      throw korvo::Error("element " + std::to_string(i + 1) +
                         " needs a positive thickness, density, modulus and backbone, and a "
                         "damping factor of 0 or more");
  }
  if (motion.a.size() < 2 || !(motion.dt > 0.0) || !(motion.to_si > 0.0))
    throw korvo::Error("the motion needs two samples or more and a positive time step");
  for (std::size_t k = 0; k < motion.a.size(); ++k)
    if (!std::isfinite(motion.a[k]))
      throw korvo::Error("motion sample " + std::to_string(k + 1) + " is not a finite number");
  if (o.substeps < 1) throw korvo::Error("substeps must be 1 or more");
  if (o.max_iter < 1) throw korvo::Error("the Newton iteration limit must be 1 or more");
  if (!(o.tol > 0.0)) throw korvo::Error("the Newton tolerance must be positive");
  if (!(o.f1 >= 0.0 && o.f2 >= 0.0) || (o.f1 > 0.0 && o.f2 > 0.0 && !(o.f2 > o.f1)))
    throw korvo::Error("the Rayleigh frequencies must be positive with f2 above f1");
  for (int i : o.loop_elements)
    if (i < 0 || i >= static_cast<int>(elements.size()))
      throw korvo::Error("loop element " + std::to_string(i + 1) + " is not in the column of " +
                         std::to_string(elements.size()));
  if (o.base == Base::Elastic && !(halfspace.unit_weight > 0.0 && halfspace.vs > 0.0))
    throw korvo::Error("an elastic base needs the half-space's unit weight and Vs");
}

// The loops of a time step over the nodes and elements are plain arithmetic
// on arrays, which the compiler vectorizes without reordering any sum; each
// is also built for AVX2 and the wider one picked when the program loads,
// with the same bits. (Not under ThreadSanitizer, whose runtime is not up
// when the clones are resolved.)
#if defined(__SANITIZE_THREAD__)
#define KORVO_CLONES
#else
#define KORVO_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// max |x[i]|, or NaN where an x[i] is NaN: in four lanes (two vectors
// where the processor has no AVX2), max being exact in any order.
KORVO_CLONES double largest_magnitude(const double* x, std::size_t n) {
  typedef double Four __attribute__((vector_size(32)));
  Four best = {0.0, 0.0, 0.0, 0.0}, nan = best;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Four m;
    __builtin_memcpy(&m, x + i, sizeof m);
    m = m < 0.0 ? -m : m;
    best = best < m ? m : best;
    nan = m != m ? m : nan;
  }
  double top = std::max(std::max(best[0], best[1]), std::max(best[2], best[3]));
  bool bad = nan[0] != nan[0] || nan[1] != nan[1] || nan[2] != nan[2] || nan[3] != nan[3];
  for (; i < n; ++i) {
    const double m = std::abs(x[i]);
    top = std::max(top, m);
    bad |= m != m;
  }
  return bad ? std::numeric_limits<double>::quiet_NaN() : top;
}

// Symmetric tridiagonal systems, diagonal d and off-diagonal e (e[i] couples
// i and i + 1). factor() overwrites d by the reciprocals of the pivots, so
// that only it divides, and leaves the elimination's multipliers in m;
// substitute() then solves for a right side r in place. The elimination runs
// from both ends to the middle row at once: two chains of divisions, each
// half as long, that the processor overlaps. Each link of a chain is one
// multiplication, one subtraction and the division (or, substituting, a
// multiplication and a subtraction): the products that do not wait on the
// chain are taken beside it.
void factor(std::vector<double>& dv, const std::vector<double>& ev, std::vector<double>& mv) {
  const std::size_t n = dv.size();
  double* __restrict d = dv.data();
  const double* __restrict e = ev.data();
  double* __restrict m = mv.data();
  d[0] = 1.0 / d[0];
  if (n < 3) {
    if (n == 2) {
      m[0] = e[0] * d[0];
      d[1] = 1.0 / (d[1] - e[0] * e[0] * d[0]);
    }
    return;
  }
  // Above the middle row m[i] = e[i] d[i], below it m[i] = e[i - 1] d[i].
  // Each chain's last pivot stays in a register rather than making a round
  // trip through memory.
  const std::size_t mid = n / 2;
  double up = d[0], down = 1.0 / d[n - 1];
  d[n - 1] = down;
  m[0] = e[0] * up;
  m[n - 1] = e[n - 2] * down;
  std::size_t top = 1, bottom = n - 2;
  for (; top < mid && bottom > mid; ++top, --bottom) {
    up = 1.0 / (d[top] - e[top - 1] * e[top - 1] * up);
    down = 1.0 / (d[bottom] - e[bottom] * e[bottom] * down);
    d[top] = up;
    d[bottom] = down;
    m[top] = e[top] * up;
    m[bottom] = e[bottom - 1] * down;
  }
  for (; top < mid; ++top) {
    up = 1.0 / (d[top] - e[top - 1] * e[top - 1] * up);
    d[top] = up;
    m[top] = e[top] * up;
  }
  for (; bottom > mid; --bottom) {
    down = 1.0 / (d[bottom] - e[bottom] * e[bottom] * down);
    d[bottom] = down;
    m[bottom] = e[bottom - 1] * down;
  }
  d[mid] = 1.0 / (d[mid] - e[mid - 1] * e[mid - 1] * up - e[mid] * e[mid] * down);
}

void substitute(const std::vector<double>& dv, const std::vector<double>& mv,
                std::vector<double>& rv) {
  const std::size_t n = dv.size();
  const double* __restrict d = dv.data();
  const double* __restrict m = mv.data();
  double* __restrict r = rv.data();
  if (n < 3) {
    if (n == 2) {
      r[1] = (r[1] - m[0] * r[0]) * d[1];
      r[0] = r[0] * d[0] - m[0] * r[1];
    } else {
      r[0] *= d[0];
    }
    return;
  }
  const std::size_t mid = n / 2;
  std::size_t top = 1, bottom = n - 2;
  double up = r[0], down = r[n - 1];
  for (; top < mid && bottom > mid; ++top, --bottom) {
    up = r[top] - m[top - 1] * up;
    down = r[bottom] - m[bottom + 1] * down;
    r[top] = up;
    r[bottom] = down;
  }
  for (; top < mid; ++top) r[top] = up = r[top] - m[top - 1] * up;
  for (; bottom > mid; --bottom) r[bottom] = down = r[bottom] - m[bottom + 1] * down;
  const double centre = (r[mid] - m[mid - 1] * up - m[mid + 1] * down) * d[mid];
  r[mid] = centre;
  // Out from the middle row both ways.
  std::size_t i = mid, j = mid + 1;
  up = down = centre;
  for (; i > 0 && j < n; ++j) {
    --i;
    r[i] = up = r[i] * d[i] - m[i] * up;
    r[j] = down = r[j] * d[j] - m[j] * down;
  }
  while (i-- > 0) r[i] = up = r[i] * d[i] - m[i] * up;
  for (; j < n; ++j) r[j] = down = r[j] * d[j] - m[j] * down;
}

// y = far x, far N x N row-major and symmetric: a sum of its columns, so
// that the loop runs over contiguous rows and vectorizes without reordering
// any sum.
KORVO_CLONES void times_far(const std::vector<double>& far, const double* x,
                            std::vector<double>& y) {
  const std::size_t n = y.size();
  std::fill(y.begin(), y.end(), 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    const double xj = x[j];
    const double* col = far.data() + j * n;
    for (std::size_t i = 0; i < n; ++i) y[i] += col[i] * xj;
  }
}

// The Newmark average acceleration rule's accelerations an and velocities
// vn at the end of a step from its displacement increments du.
KORVO_CLONES void rates(std::size_t n, double A0, double A1, double A2, const double* __restrict du,
                        const double* __restrict v, const double* __restrict a,
                        double* __restrict an, double* __restrict vn) {
  for (std::size_t i = 0; i < n; ++i) {
    an[i] = A0 * du[i] - A2 * v[i] - a[i];
    vn[i] = A1 * du[i] - v[i];
  }
}

// The residual force R of the equation of motion at the n nodes, and its
// largest magnitude. co, vn and tau hold a 0 before the first entry and
// after the last.
KORVO_CLONES double residual(std::size_t n, double ag, const double* __restrict M,
                             const double* __restrict CD, const double* __restrict co,
                             const double* __restrict an, const double* __restrict vn,
                             const double* __restrict far_vn, const double* __restrict tau,
                             double* __restrict R) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i);
    double f = -M[i] * (ag + an[i]) - CD[i] * vn[j] - far_vn[i];
    // The element above pulls the node back by its stress, the one below forward.
    f -= co[j - 1] * vn[j - 1] + tau[j - 1];
    f -= co[j] * vn[j + 1];
    f += tau[j];
    R[i] = f;
  }
  return largest_magnitude(R, n);
}

// The first solve of a step takes each element's tangent extrapolated to the
// middle of the step from its last two committed values (kt, kt_last):
// nearer the secant over the step than the tangent at its start, so that
// more steps converge on one solve. Where the strain increments of the last
// two steps (dg1, dg2), carried on in a straight line, change sign, the
// element is taken to reverse: the tangent its new branch starts with
// (fresh, where known). kp gets them over the thickness.
KORVO_CLONES void predict(std::size_t ne, const double* __restrict kt,
                          const double* __restrict kt_last, const double* __restrict dg1,
                          const double* __restrict dg2, const double* __restrict fresh,
                          const double* __restrict inv_h, double* __restrict kp) {
  for (std::size_t i = 0; i < ne; ++i) {
    const bool turns = ((2.0 * dg1[i] - dg2[i]) * dg1[i] < 0.0) & (fresh[i] >= 0.0);
    const double next = std::max(0.0, kt[i] + 0.5 * (kt[i] - kt_last[i]));
    kp[i] = (turns ? fresh[i] : next) * inv_h[i];
  }
}

// The Newton matrix: its constant part D0, O0 and the elements' stiffnesses
// k (padded with a 0 at each end).
KORVO_CLONES void newton_matrix(std::size_t n, const double* __restrict D0,
                                const double* __restrict O0, const double* __restrict k,
                                double* __restrict D, double* __restrict O) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i);
    D[i] = D0[i] + k[j - 1] + k[j];
    O[i] = O0[i] - k[j];
  }
}

// du takes the correction x; g the elements' strains from u + du.
KORVO_CLONES void strains(std::size_t n, std::size_t ne, const double* __restrict x,
                          const double* __restrict u, const double* __restrict inv_h,
                          double* __restrict du, double* __restrict g) {
  for (std::size_t i = 0; i < n; ++i) du[i] += x[i];
  for (std::size_t i = 0; i < ne; ++i) g[i] = ((u[i + 1] + du[i + 1]) - (u[i] + du[i])) * inv_h[i];
}

// y = x h, h the elements' reciprocal thicknesses.
KORVO_CLONES void over(std::size_t ne, const double* __restrict x, const double* __restrict h,
                       double* __restrict y) {
  for (std::size_t i = 0; i < ne; ++i) y[i] = x[i] * h[i];
}

// After the elements' commits: their work of the step added to the run's,
// the strain increments of the last two steps moved on, and the largest
// displacements of the nodes above the base (at u_base) taken.
KORVO_CLONES void committed(std::size_t ne, const double* __restrict g,
                            const double* __restrict work, double* __restrict work_total,
                            double* __restrict g_prev, double* __restrict dg1,
                            double* __restrict dg2, const double* __restrict u, double u_base,
                            double* __restrict u_peak) {
  for (std::size_t i = 0; i < ne; ++i) {
    work_total[i] += work[i];
    dg2[i] = dg1[i];
    dg1[i] = g[i] - g_prev[i];
    g_prev[i] = g[i];
    u_peak[i] = std::max(u_peak[i], std::abs(u[i] - u_base));
  }
}

// The end of a step at the n nodes: the work of the inertia forces (a
// ground acceleration of ag2 / 2 over the step) and of the damping (band co,
// CD and the far part's forces far_v, far_vn) along du, each force the mean
// of its values at both ends, added node by node (twice over); then u, v and
// a move on. sv (a 0 before the first entry and after the last) takes v + vn.
KORVO_CLONES void advance(std::size_t n, double ag2, const double* __restrict M,
                          const double* __restrict CD, const double* __restrict co,
                          const double* __restrict far_v, const double* __restrict far_vn,
                          const double* __restrict du, const double* __restrict vn,
                          const double* __restrict an, double* __restrict sv,
                          double* __restrict work_input, double* __restrict work_viscous,
                          double* __restrict u, double* __restrict v, double* __restrict a) {
  for (std::size_t i = 0; i < n; ++i) sv[i] = v[i] + vn[i];
  for (std::size_t i = 0; i < n; ++i) {
    const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i);
    const double c =
        CD[i] * sv[j] + co[j - 1] * sv[j - 1] + co[j] * sv[j + 1] + far_v[i] + far_vn[i];
    work_input[i] -= du[i] * M[i] * ag2;
    work_viscous[i] += du[i] * c;
    u[i] += du[i];
    v[i] = vn[i];
    a[i] = an[i];
  }
}

// The frequency-independent damping matrix (Viscous::FrequencyIndependent)
// on the first n nodes, of masses M: M^1/2 V diag(2 xi_n w_n) V^T M^1/2, V the
// eigenvectors of M^-1/2 K M^-1/2 and w_n^2 its eigenvalues.
std::vector<double> modal_damping(const std::vector<Element>& els, const std::vector<double>& M,
                                  std::size_t n, double xi_all) {
  if (n > FI_NODES_MAX)
    throw korvo::Error("frequency-independent damping takes at most " +
                       std::to_string(FI_NODES_MAX - 1) + " elements (its matrix is full), not " +
                       std::to_string(els.size()));
  const std::size_t ne = els.size();
  std::vector<double> root(n), k(ne);
  for (std::size_t i = 0; i < n; ++i) root[i] = std::sqrt(M[i]);
  Eigen::VectorXd diag = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  Eigen::VectorXd sub = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n > 1 ? n - 1 : 0));
  for (std::size_t e = 0; e < ne; ++e) {
    k[e] = els[e].gmax / els[e].thickness;
    const auto i = static_cast<Eigen::Index>(e);
    diag[i] += k[e] / M[e];
    if (e + 1 < n) {
      diag[i + 1] += k[e] / M[e + 1];
      sub[i] = -k[e] / (root[e] * root[e + 1]);
    }
  }
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> modes;
  modes.computeFromTridiagonal(diag, sub, Eigen::ComputeEigenvectors);
  if (modes.info() != Eigen::Success)
    throw korvo::Error("the column's modes for frequency-independent damping did not converge");
  const Eigen::MatrixXd& V = modes.eigenvectors();
  Eigen::VectorXd c(static_cast<Eigen::Index>(n));
  for (Eigen::Index m = 0; m < c.size(); ++m) {
    // The mode's strain energy element by element: a rigid base's node is still.
    double energy = 0.0, weighted = 0.0;
    for (std::size_t e = 0; e < ne; ++e) {
      const auto i = static_cast<Eigen::Index>(e);
      const double top = V(i, m) / root[e];
      const double bottom = e + 1 < n ? V(i + 1, m) / root[e + 1] : 0.0;
      const double w = k[e] * (bottom - top) * (bottom - top);
      energy += w;
      weighted += w * (xi_all >= 0.0 ? xi_all : els[e].xi);
    }
    const double xi = energy > 0.0 ? weighted / energy : 0.0;
    c[m] = 2.0 * xi * std::sqrt(std::max(0.0, modes.eigenvalues()[m]));
  }
  const Eigen::MatrixXd C = V * c.asDiagonal() * V.transpose();
  std::vector<double> out(n * n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j)
      out[i * n + j] =
          root[i] * C(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) * root[j];
  return out;
}

// The tangent with which a branch from a reversal at the committed state
// would start: Gmax on Masing's, where the backbone starts; MRDF's departs
// from the largest loop's secant by F, and is left unknown (-1) off the
// backbone, where that loop is yet to be found.
double fresh_tangent(const Element& e, const Hysteresis& h) {
  if (!e.hysteretic || !h.mrdf) return e.gmax;
  return h.g.empty() ? -1.0 : h.secant + h.f * (e.gmax - h.secant);
}

// n rounded up to a multiple of four.
constexpr std::size_t padded(std::size_t n) { return (n + 3) / 4 * 4; }

// The groups of four MKZ elements whose common trials and commits the
// vector kernels take (nonlinear/trials.h), where the processor has AVX2.
// Their committed state lives in the kernels' arrays: sync() brings an
// element's Hysteresis up to date from them before the general code reads
// it, shadow() them from it after the general code commits it. The last
// group is filled out with lanes of no stiffness that stay at rest (stress
// and tangent 0), so that every array the kernels read or write, the run's
// included, holds a multiple of four entries.
class Fast {
 public:
  Fast(const std::vector<Element>& els, std::vector<Hysteresis>& hys, bool enabled, bool mrdf,
       const double* scale, const double* thickness, const double* g, double* tau, double* kt,
       double* kt_last, double* strain_peak, double* stress_peak)
      : hys_(hys), ne_(els.size()), rev(padded(ne_)), size(padded(ne_)), work(padded(ne_)) {
#if defined(KORVO_X86_KERNELS)
    if (enabled && simd_level() != Simd::scalar) groups_ = padded(ne_) / 4;
#else
    (void)enabled;
#endif
    for (std::vector<double>* x : {&gn_, &tn_, &kc_, &dir_, &og_, &ot_, &cto_, &rto_, &sec_, &f_,
                                   &gmax_, &beta_, &bms_, &s_, &gb_, &x_, &p_})
      x->assign(padded(ne_), 0.0);
    s_.assign(padded(ne_), 1.0);  // the lanes beyond the elements need no power
    n_.assign(padded(ne_), 0);
    eligible_.assign(groups_ + 1, 0);
    done_.assign(groups_ + 1, 0);
    plain_.assign(groups_ + 1, 0);
    for (std::size_t k = 0; k < groups_; ++k) {
      eligible_[k] = 1;
      for (std::size_t i = 4 * k; i < 4 * k + 4 && i < ne_; ++i)
        if (!els[i].hysteretic || els[i].model != Model::Mkz) eligible_[k] = 0;
      if (!eligible_[k]) continue;
      for (std::size_t i = 4 * k; i < 4 * k + 4 && i < ne_; ++i) {
        gmax_[i] = els[i].gmax;
        beta_[i] = els[i].beta;
        bms_[i] = els[i].beta * (1.0 - els[i].s);
        s_[i] = els[i].s;
        shadow(i);
      }
    }
    t_ = {.gn = gn_.data(),
          .tn = tn_.data(),
          .kc = kc_.data(),
          .dir = dir_.data(),
          .og = og_.data(),
          .ot = ot_.data(),
          .cto = cto_.data(),
          .rto = rto_.data(),
          .sec = sec_.data(),
          .f = f_.data(),
          .n = n_.data(),
          .scale = scale,
          .gmax = gmax_.data(),
          .beta = beta_.data(),
          .bms = bms_.data(),
          .s = s_.data(),
          .thickness = thickness,
          .eligible = eligible_.data(),
          .mrdf = mrdf,
          .g = g,
          .tau = tau,
          .kt = kt,
          .rev = rev.data(),
          .size = size.data(),
          .done = done_.data(),
          .plain = plain_.data(),
          .gb = gb_.data(),
          .x = x_.data(),
          .p = p_.data(),
          .kt_last = kt_last,
          .work = work.data(),
          .strain_peak = strain_peak,
          .stress_peak = stress_peak};
  }

  void trials() {
    trials_taken_ = 0;
#if defined(KORVO_X86_KERNELS)
    if (groups_ > 0) trials_taken_ = detail::trials_avx2(t_, groups_);
#endif
  }
  void commits() {
    commits_taken_ = 0;
#if defined(KORVO_X86_KERNELS)
    if (groups_ > 0) commits_taken_ = detail::commits_avx2(t_, groups_);
#endif
  }
  // The elements the last trials left to the general code, or (commit) the
  // last commits: all of them where commits() did not run.
  void rest(std::vector<std::size_t>& out, bool commit, bool committed) const {
    out.clear();
    const std::size_t taken = commit ? (committed ? commits_taken_ : 0) : trials_taken_;
    if (groups_ > 0 && taken == groups_) return;
    for (std::size_t k = 0; 4 * k < ne_; ++k) {
      if (k < groups_ && (commit ? committed && plain_[k] : done_[k])) continue;
      for (std::size_t i = 4 * k; i < ne_ && i < 4 * k + 4; ++i) out.push_back(i);
    }
  }
  Branch branch(std::size_t i) const { return {rev[i] != 0, static_cast<std::size_t>(size[i])}; }
  void sync(std::size_t i) {
    if (!takes(i)) return;
    Hysteresis& h = hys_[i];
    h.g_now = gn_[i];
    h.tau_now = tn_[i];
    h.tangent = kc_[i];
    h.direction = static_cast<int>(dir_[i]);
  }
  void shadow(std::size_t i) {
    if (!takes(i)) return;
    const Hysteresis& h = hys_[i];
    const std::size_t n = h.g.size();
    gn_[i] = h.g_now;
    tn_[i] = h.tau_now;
    kc_[i] = h.tangent;
    dir_[i] = h.direction;
    n_[i] = static_cast<std::int64_t>(n);
    og_[i] = n > 0 ? h.g[n - 1] : 0.0;
    ot_[i] = n > 0 ? h.tau[n - 1] : 0.0;
    cto_[i] = n >= 2 ? h.g[n - 2] : n == 1 ? -h.g[0] : std::numeric_limits<double>::infinity();
    rto_[i] = n > 0 ? h.g[n - 1] : -h.g_now;
    sec_[i] = h.secant;
    f_[i] = h.f;
  }

 private:
  bool takes(std::size_t i) const { return i < ne_ && i / 4 < groups_ && eligible_[i / 4]; }

  std::vector<Hysteresis>& hys_;
  std::size_t ne_ = 0, groups_ = 0, trials_taken_ = 0, commits_taken_ = 0;
  std::vector<double> gn_, tn_, kc_, dir_, og_, ot_, cto_, rto_, sec_, f_, gmax_, beta_, bms_, s_,
      gb_, x_, p_;
  std::vector<std::int64_t> n_;
  std::vector<std::uint8_t> eligible_, done_, plain_;
  detail::Trials t_{};

 public:
  // Each element's last branch (reversal, size) and the work of its last
  // commit (thickness (g - g_now)(tau + tau_now)), whichever code took it.
  std::vector<std::int64_t> rev, size;
  std::vector<double> work;
};

}  // namespace

Result run(const std::vector<Element>& elements, const column::HalfSpace& halfspace,
           const column::Motion& motion, const Options& o) {
  check(elements, halfspace, motion, o);
  const std::size_t NE = elements.size();
  // Nodes 0 (surface) to NE (base). Displacements are relative to the
  // input motion; a rigid base holds the last node still.
  const std::size_t N = o.base == Base::Elastic ? NE + 1 : NE;

  Result res;
  double travel = 0.0;
  res.node_depth.assign(NE + 1, 0.0);
  for (std::size_t i = 0; i < NE; ++i) {
    const Element& e = elements[i];
    travel += e.thickness / std::sqrt(e.gmax / e.rho);
    res.node_depth[i + 1] = res.node_depth[i] + e.thickness;
  }
  const double height = res.node_depth[NE];
  res.f1 = o.f1 > 0.0 ? o.f1 : 1.0 / (4.0 * travel);
  res.f2 = o.f2 > 0.0 ? o.f2 : 5.0 * res.f1;
  if (!(res.f2 > res.f1))
    throw korvo::Error("the Rayleigh frequency f2 must lie above f1 = " + column::shortest(res.f1) +
                       " Hz");
  const double w1 = 2.0 * column::PI_D * res.f1, w2 = 2.0 * column::PI_D * res.f2;

  // Lumped masses, and Rayleigh damping element by element: the mass part
  // on the element's half masses, the stiffness part on its small-strain
  // stiffness, so that the damping matrix stays constant.
  std::vector<double> M(N, 0.0), CD(N, 0.0), CO(N, 0.0), inv_h(NE);
  for (std::size_t i = 0; i < NE; ++i) {
    const Element& e = elements[i];
    const double xi = o.xi >= 0.0 ? o.xi : e.xi;
    const double alpha = 2.0 * xi * w1 * w2 / (w1 + w2), beta = 2.0 * xi / (w1 + w2);
    const double half = e.rho * e.thickness / 2.0, k = e.gmax / e.thickness;
    inv_h[i] = 1.0 / e.thickness;
    M[i] += half;
    CD[i] += alpha * half + beta * k;
    if (i + 1 < N) {
      M[i + 1] += half;
      CD[i + 1] += alpha * half + beta * k;
      CO[i] = -beta * k;
    }
  }
  // Frequency-independent damping: its band in CD and CO, the rest in `far`
  // (N x N, zero on the band), which the Newton matrix leaves out. The mass
  // term A0 M outweighs it there, so that Newton still converges in a step
  // or two; the residual holds all of it.
  std::vector<double> far;
  if (o.viscous == Viscous::FrequencyIndependent) {
    far = modal_damping(elements, M, N, o.xi);
    for (std::size_t i = 0; i < N; ++i) {
      CD[i] = far[i * N + i];
      far[i * N + i] = 0.0;
      if (i + 1 < N) {
        CO[i] = far[i * N + i + 1];
        far[i * N + i + 1] = far[(i + 1) * N + i] = 0.0;
      }
    }
    res.f1 = res.f2 = 0.0;
  }
  const double c_base =
      o.base == Base::Elastic ? halfspace.unit_weight / column::GRAVITY * halfspace.vs : 0.0;
  if (o.base == Base::Elastic) CD[N - 1] += c_base;

  // Output depths as a node and the weight of the node below: the
  // histories' depths, then the peaks'.
  std::vector<std::size_t> at_node;
  std::vector<double> at_weight;
  std::vector<double> all_depths = o.depths;
  all_depths.insert(all_depths.end(), o.peak_depths.begin(), o.peak_depths.end());
  for (double z : all_depths) {
    if (!(z >= 0.0 && z <= height * (1.0 + 1e-12)))
      throw korvo::Error("depth " + column::shortest(z) + " m is not within the column of " +
                         column::shortest(height) + " m");
    std::size_t i = 0;
    while (i + 1 < NE && res.node_depth[i + 1] <= z) ++i;
    at_node.push_back(i);
    at_weight.push_back(std::min(1.0, (z - res.node_depth[i]) * inv_h[i]));
  }

  const std::size_t NS = motion.a.size();
  const int ns = o.substeps;
  const double dt = motion.dt / ns;
  const double A0 = 4.0 / (dt * dt), A1 = 2.0 / dt, A2 = 4.0 / dt;
  const double to_si = motion.to_si;

  std::vector<Hysteresis> hys(NE);
  for (std::size_t i = 0; i < NE; ++i) start(elements[i], hys[i], o.unloading);
  // u and du carry the rigid base's node too, held at 0, so that every
  // element's strain reads its two nodes. The arrays behind vn, co, tau and
  // ks hold a 0 before the first entry and after the last, so that the
  // residual and the matrix need no tests at the column's ends.
  std::vector<double> u(NE + 1, 0.0), du(NE + 1, 0.0), v(N, 0.0), a(N, -motion.a[0] * to_si), an(N);
  // L: the factor's multipliers. kt, g and the other arrays per element that
  // the vector kernels read or write (Fast) hold padded(NE) entries.
  const std::size_t NP = padded(NE);
  std::vector<double> R(N), D(N), O(N), L(N), kt(NP), g(NP);
  // The backbones' powers of one pass: bases, exponents, values, elements.
  std::vector<double> p_base(NE), p_expo(NE), p_out(NE), power(NE, 0.0);
  std::vector<std::size_t> p_elem(NE);
  // far times the new velocities and the last step's (zeros without far).
  std::vector<double> far_vn(N, 0.0), far_v(N, 0.0);
  std::vector<double> X(N), Y(N), far_x(N);  // the fixed point's iterates
  // What the loops over elements read, apart from the elements.
  std::vector<double> scale(NP), thickness(NP);
  std::vector<char> hysteretic(NE);
  for (std::size_t i = 0; i < NE; ++i) {
    scale[i] = strain_scale(elements[i]);
    thickness[i] = elements[i].thickness;
    hysteretic[i] = elements[i].hysteretic;
  }
  std::vector<double> vn_(N + 2, 0.0), co_(N + 1, 0.0), tau_(NP + 2, 0.0), ks_(NE + 2, 0.0);
  double* const vn = vn_.data() + 1;
  double* const co = co_.data() + 1;
  double* const tau = tau_.data() + 1;
  double* const ks = ks_.data() + 1;                  // tangent stiffness kt / h of each element
  std::vector<double> kp_(NE + 2, 0.0), kt_last(NP);  // the first solve's (padded), the last step's
  double* const kp = kp_.data() + 1;
  std::copy(CO.begin(), CO.end(), co);
  for (std::size_t i = 0; i < NE; ++i) {
    kt[i] = kt_last[i] = hys[i].tangent;
    ks[i] = kt[i] * inv_h[i];
  }
  // The input's own velocity and displacement, by the same rule.
  double vg = 0.0, ug = 0.0;
  // The strain increments of the last two steps, and the tangent a branch
  // from a reversal now would start with (< 0 where it is not known).
  std::vector<double> dg1(NE, 0.0), dg2(NE, 0.0), g_prev(NE, 0.0), fresh(NE);
  for (std::size_t i = 0; i < NE; ++i) fresh[i] = fresh_tangent(elements[i], hys[i]);
  // Work done so far, twice over: of the inertia forces and the damping at
  // each node, in each element, and in the base's dashpot; and v + vn of a
  // step, with a 0 beyond each end.
  std::vector<double> work_input(N, 0.0), work_viscous(N, 0.0), work_elements(NE, 0.0);
  double radiation = 0.0;
  std::vector<double> sv_(N + 2, 0.0);
  double* const sv = sv_.data() + 1;
  // The Newton matrix's constant part: A0 M + A1 C.
  std::vector<double> D0(N), O0(N);
  for (std::size_t i = 0; i < N; ++i) {
    D0[i] = A0 * M[i] + A1 * CD[i];
    O0[i] = A1 * CO[i];
  }
  res.strain_peak.assign(NP, 0.0);  // cut to NE after the run
  res.stress_peak.assign(NP, 0.0);
  double* const strain_peak = res.strain_peak.data();
  double* const stress_peak = res.stress_peak.data();
  Fast fast(elements, hys, o.vectors, o.unloading == Unloading::Mrdf, scale.data(),
            thickness.data(), g.data(), tau, kt.data(), kt_last.data(), strain_peak, stress_peak);
  // The elements the general code takes in a pass: those of the groups the
  // vector kernels left and those after the last group (all of them without).
  std::vector<std::size_t> rest;
  rest.reserve(NE);
  res.displacement_peak.assign(NE + 1, 0.0);
  res.surface.assign(NS, 0.0);
  res.surface_velocity.assign(NS, 0.0);
  res.surface_displacement.assign(NS, 0.0);
  const std::vector<double> zeros(NS, 0.0);
  res.at.assign(o.depths.size(), zeros);
  res.at_velocity.assign(o.depths.size(), zeros);
  res.at_displacement.assign(o.depths.size(), zeros);
  res.peak_at.assign(o.peak_depths.size(), 0.0);
  res.loops.assign(o.loop_elements.size(), Loop{zeros, zeros});
  // Total motion at a node or between two, from relative x and the input's xg.
  auto total = [&](const std::vector<double>& x, std::size_t node, double xg) {
    return node < N ? x[node] + xg : xg;
  };
  auto keep = [&](std::size_t k, double ag) {
    res.surface[k] = total(an, 0, ag) / to_si;
    res.surface_velocity[k] = total(v, 0, vg) / to_si;
    res.surface_displacement[k] = total(u, 0, ug) / to_si;
    for (std::size_t d = 0; d < at_node.size(); ++d) {
      const std::size_t i = at_node[d];
      const double w = at_weight[d];
      auto mix = [&](const std::vector<double>& x, double xg) {
        return ((1.0 - w) * total(x, i, xg) + w * total(x, i + 1, xg)) / to_si;
      };
      if (d < o.depths.size()) {
        res.at[d][k] = mix(an, ag);
        res.at_velocity[d][k] = mix(v, vg);
        res.at_displacement[d][k] = mix(u, ug);
      } else {
        double& peak = res.peak_at[d - o.depths.size()];
        peak = std::max(peak, std::abs(mix(an, ag)));
      }
    }
    for (std::size_t l = 0; l < o.loop_elements.size(); ++l) {
      const auto e = static_cast<std::size_t>(o.loop_elements[l]);
      fast.sync(e);
      const auto& h = hys[e];
      res.loops[l].strain[k] = h.g_now * 100.0;
      res.loops[l].stress[k] = h.tau_now;
    }
  };
  // At rest at t = 0: the column has not moved yet, a rigid base has.
  an = a;
  keep(0, motion.a[0] * to_si);
  // Residuals are measured against the largest element stress and the
  // largest nodal inertia force of the input reached so far.
  double tau_ref = 0.0, force_ref = 0.0;
  const double mass_max = *std::max_element(M.begin(), M.end());

  for (std::size_t k = 1; k < NS; ++k) {
    const double a_lo = motion.a[k - 1] * to_si, a_hi = motion.a[k] * to_si;
    double ag = a_lo;
    for (int j = 1; j <= ns; ++j) {
      const double ag_old = ag;
      ag = a_lo + (a_hi - a_lo) * (static_cast<double>(j) / ns);
      auto now = [&] {
        return (static_cast<double>(k - 1) + static_cast<double>(j) / ns) * motion.dt;
      };
      std::fill(du.begin(), du.end(), 0.0);
      // g, tau, kt and ks hold the committed state: the last step's last trial.
      bool moved = false;
      force_ref = std::max(force_ref, mass_max * std::abs(ag));
      const double limit = o.tol * std::max(tau_ref, force_ref);
      bool converged = false;
      double worst = 0.0;
      for (int it = 0;; ++it) {
        // Residual of the equation of motion at the end of the step.
        rates(N, A0, A1, A2, du.data(), v.data(), a.data(), an.data(), vn);
        if (!far.empty()) times_far(far, vn, far_vn);
        worst =
            residual(N, ag, M.data(), CD.data(), co, an.data(), vn, far_vn.data(), tau, R.data());
        // A response that blew up cannot pass for converged.
        if (!std::isfinite(worst))
          throw korvo::Error("the response is not finite at " + column::shortest(now()) + " s");
        if (worst <= limit) {
          converged = true;
          break;
        }
        if (it == o.max_iter) break;
        if (it == 0)
          predict(NE, kt.data(), kt_last.data(), dg1.data(), dg2.data(), fresh.data(), inv_h.data(),
                  kp);
        newton_matrix(N, D0.data(), O0.data(), it == 0 ? kp : ks, D.data(), O.data());
        factor(D, O, L);
        moved = true;
        if (far.empty()) {
          substitute(D, L, R);
        } else {
          // The Newton matrix is the tridiagonal one plus A1 far: x = T^-1 (R -
          // A1 far x) by fixed point from x = T^-1 R, contracting by about
          // A1 |far| / A0 M a round, until a round changes no entry by more
          // than 1e-6 of the largest: Newton then converges as it does with
          // Rayleigh damping (1e-3 costs more steps than it saves rounds).
          std::copy(R.begin(), R.end(), X.begin());
          substitute(D, L, X);
          for (int round = 0; round < 50; ++round) {
            times_far(far, X.data(), far_x);
            for (std::size_t i = 0; i < N; ++i) Y[i] = R[i] - A1 * far_x[i];
            substitute(D, L, Y);
            double change = 0.0, size = 0.0;
            for (std::size_t i = 0; i < N; ++i) {
              change = std::max(change, std::abs(Y[i] - X[i]));
              size = std::max(size, std::abs(Y[i]));
            }
            X.swap(Y);
            if (!(change > 1e-6 * size)) break;
          }
          R.swap(X);
        }
        ++res.iterations;
        strains(N, NE, R.data(), u.data(), inv_h.data(), du.data(), g.data());
        fast.trials();
        fast.rest(rest, false, false);
        // The rest in three passes, so that the powers of their backbones
        // are taken together, four to a vector.
        std::size_t np = 0;
        for (std::size_t i : rest) {
          if (!hysteretic[i]) continue;
          fast.sync(i);
          const Branch b = locate(hys[i], g[i]);
          fast.rev[i] = b.reversal;
          fast.size[i] = static_cast<std::int64_t>(b.size);
          power[i] = 0.0;
          if (power_of(elements[i], scale[i], backbone_strain(hys[i], b, g[i]), p_base[np],
                       p_expo[np]))
            p_elem[np++] = i;
        }
        powers(p_base.data(), p_expo.data(), p_out.data(), np);
        for (std::size_t m = 0; m < np; ++m) power[p_elem[m]] = p_out[m];
        for (std::size_t i : rest) {
          const Element& e = elements[i];
          if (e.hysteretic) {
            evaluate_with(e, scale[i], hys[i], fast.branch(i), g[i], power[i],
                          tau[static_cast<std::ptrdiff_t>(i)], kt[i]);
          } else {
            tau[static_cast<std::ptrdiff_t>(i)] = e.gmax * g[i];
            kt[i] = e.gmax;
          }
        }
        over(NE, kt.data(), inv_h.data(), ks);
      }
      ++res.steps;
      if (!converged) {
        const double t = now();
        if (o.strict)
          throw korvo::Error("the time step at " + column::shortest(t) + " s did not converge in " +
                             std::to_string(o.max_iter) + " Newton iterations (residual " +
                             column::shortest(worst) + " kPa)");
        if (res.unconverged++ == 0) res.first_unconverged = t;
      }
      advance(N, ag_old + ag, M.data(), CD.data(), co, far_v.data(), far_vn.data(), du.data(), vn,
              an.data(), sv, work_input.data(), work_viscous.data(), u.data(), v.data(), a.data());
      if (N > NE) radiation += du[NE] * c_base * sv[static_cast<std::ptrdiff_t>(NE)];
      far_v.swap(far_vn);
      ug += dt * vg + dt * dt / 4.0 * (ag_old + ag);
      vg += dt / 2.0 * (ag_old + ag);
      // The strains of the last trial are those of the updated displacements.
      // The plain groups' commits in vectors, the rest one by one.
      if (moved) fast.commits();
      fast.rest(rest, true, moved);
      for (std::size_t i : rest) {
        const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i);
        Hysteresis& h = hys[i];
        fast.sync(i);
        fast.work[i] = thickness[i] * (g[i] - h.g_now) * (tau[j] + h.tau_now);
        // Across a reversal or a closed loop the tangent jumps: nothing to extrapolate.
        const Branch b = fast.branch(i);
        const bool jump = moved && hysteretic[i] && (b.reversal || b.size < h.g.size());
        kt_last[i] = jump ? kt[i] : h.tangent;
        if (moved) {
          settle(elements[i], h, b, g[i], tau[j], kt[i]);
          fast.shadow(i);
          fresh[i] = fresh_tangent(elements[i], h);
        }
        strain_peak[i] = std::max(strain_peak[i], std::abs(g[i]));
        stress_peak[i] = std::max(stress_peak[i], std::abs(tau[j]));
      }
      committed(NE, g.data(), fast.work.data(), work_elements.data(), g_prev.data(), dg1.data(),
                dg2.data(), u.data(), N > NE ? u[NE] : 0.0, res.displacement_peak.data());
      tau_ref = std::max(tau_ref, largest_magnitude(stress_peak, NE));
    }
    keep(k, ag);
  }
  res.strain_peak.resize(NE);
  res.stress_peak.resize(NE);
  const double u_base = N > NE ? u[NE] : 0.0;
  res.displacement_residual.assign(NE + 1, 0.0);
  for (std::size_t i = 0; i < NE; ++i) {
    res.displacement_residual[i] = (u[i] - u_base) / to_si;
    res.displacement_peak[i] /= to_si;
  }
  for (std::size_t i = 0; i < NE; ++i) fast.sync(i);
  for (std::size_t i = 0; i < N; ++i) {
    res.energy.kinetic += M[i] * v[i] * v[i] / 2.0;
    res.energy.input += work_input[i] / 2.0;
    res.energy.viscous += work_viscous[i] / 2.0;
  }
  res.energy.radiation = radiation / 2.0;
  res.energy.viscous -= res.energy.radiation;
  for (std::size_t i = 0; i < NE; ++i) res.energy.hysteretic += work_elements[i] / 2.0;
  for (std::size_t i = 0; i < NE; ++i) {
    const Element& e = elements[i];
    res.energy.strain += e.thickness * hys[i].tau_now * hys[i].tau_now / (2.0 * e.gmax);
  }
  res.energy.hysteretic -= res.energy.strain;
  res.secant_ratio.assign(NE, 1.0);
  res.damping_at_peak.assign(NE, 0.0);
  for (std::size_t i = 0; i < NE; ++i) {
    const double gp = res.strain_peak[i];
    if (gp > 0.0) {
      double t = 0.0, kk = 0.0;
      backbone(elements[i], gp, t, kk);
      res.secant_ratio[i] = t / (elements[i].gmax * gp);
      res.damping_at_peak[i] = masing_damping(elements[i], gp);
      if (o.unloading == Unloading::Mrdf) res.damping_at_peak[i] *= mrdf_factor(elements[i], gp);
    }
    res.strain_peak[i] = gp * 100.0;
  }
  return res;
}

}  // namespace korvo::nonlinear
