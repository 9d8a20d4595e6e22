// The common case of the elements' trials and commits, four MKZ elements to
// a vector: each on the branch it was committed on or on the one a reversal
// starts, no loop closed and the backbone not rejoined. A group of four where
// any of that fails, or that holds another kind of element, is left to the
// general code (nonlinear/run.cpp), which gives the same bits for these
// cases: both take the backbone's power from backbone_power (simd/power.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvo::nonlinear::detail {

// Structure of arrays, one entry per element of the groups.
struct Trials {
  // The committed state: strain, stress, tangent and the sign of the last
  // strain change (+1, -1 or 0); the reversal points remembered (n) and the
  // last of them (og, ot: where the committed branch starts, when n > 0);
  // the strain at which the committed branch closes its loop (+inf on the
  // backbone), and at which a branch from a reversal now would (the last
  // reversal point, or the mirror of the strain on the backbone); the secant
  // and damping factor of the largest loop (MRDF, when n > 0).
  double *gn, *tn, *kc, *dir, *og, *ot, *cto, *rto, *sec, *f;
  std::int64_t* n;
  // The backbone tau = gmax g / (1 + beta p), p = (|g| scale)^s, and
  // beta (1 - s) for its tangent; the element's thickness.
  const double *scale, *gmax, *beta, *bms, *s, *thickness;
  // Per group of four: 1 where the group may take this path.
  const std::uint8_t* eligible;
  bool mrdf = false;
  // Trial strains in; stresses, tangents and branches out (rev 1 where the
  // committed strain becomes a reversal point, size the reversal points
  // the branch keeps); per group, done 1 where it was taken here and plain
  // 1 where, besides, it stays on its committed branches.
  const double* g;
  double *tau, *kt;
  std::int64_t *rev, *size;
  std::uint8_t *done, *plain;
  // Scratch, per element: the strain at which the backbone is read, its
  // strain variable and power there.
  double *gb, *x, *p;
  // At a commit: the committed tangent before it (kt_last), the work of the
  // step twice over (h (g - gn)(tau + tn)) and the peaks of |g| and |tau|.
  double *kt_last, *work, *strain_peak, *stress_peak;
};

// The trials of every eligible group of the first `groups` (four elements
// each); the number of groups taken.
std::size_t trials_avx2(const Trials& t, std::size_t groups);

// Commits the last trials of every plain group; the number of them.
std::size_t commits_avx2(const Trials& t, std::size_t groups);

}  // namespace korvo::nonlinear::detail
