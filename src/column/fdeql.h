// Frequency-dependent equivalent-linear response: each sublayer takes its
// modulus and damping at every frequency from an effective strain that falls
// with frequency as the sublayer's strain spectrum does, instead of one
// strain for the whole spectrum. Equivalent-linear analysis over-damps the
// high frequencies at large strains, because their small strains are taken
// as large; this is the remedy of Kausel, E. and Assimaki, D. (2002),
// "Seismic simulation of inelastic soils via frequency-dependent moduli and
// damping", J. Eng. Mech. 128(1), 34-47.
#pragma once

#include <complex>
#include <vector>

#include "column/column.h"

namespace korvo::column {

enum class Smoothing {
  // The strain amplitude spectrum flat up to its mean frequency and a power
  // law beyond it, fitted to the spectrum in log-log.
  KauselAssimaki,
  // One strain for every frequency: the equivalent-linear method itself.
  Flat,
};

struct FdOptions {
  Options column;  // strain ratio, tol, max_iter, modulus, input, pad/nfft
  Smoothing smoothing = Smoothing::KauselAssimaki;
};

struct FdResult {
  std::vector<double> frequency;          // Hz, the transform's bins
  std::vector<std::vector<Props>> props;  // per sublayer, per bin: used by the final response
  std::vector<double> strain_eff;         // %, per sublayer: the effective strain up to f_mean
  std::vector<double> strain_peak;        // %
  std::vector<double> f_mean;       // Hz, per sublayer: where the strain spectrum starts to fall
  std::vector<double> exponent;     // per sublayer: its fall beyond f_mean, strain ~ f^-n
  std::vector<double> stress_peak;  // kPa, per sublayer, at mid-depth
  std::vector<double> pga_top;      // record unit, per sublayer and the half-space's top
  std::vector<double> surface;      // record unit, the record's length
  std::vector<std::complex<double>> transfer;  // surface over input, per bin
  // Largest relative changes of G and damping over sublayers and frequencies;
  // no contraction or distance estimates.
  std::vector<IterationRow> rows;
  bool converged = false;
  double seconds = 0.0;  // wall clock of the iteration

  // The final state, for motions at any depth: per sublayer top (and the
  // half-space's, last) and bin, the displacement per unit input
  // u = e exp(i w z / V*) + f exp(-i w z / V*) at z below that top, the
  // complex velocity V*, and the input's transform.
  std::vector<std::vector<std::complex<double>>> e, f, velocity;
  std::vector<std::complex<double>> input;
  int nfft = 0;
  std::size_t samples = 0;
  double to_si = 1.0;          // m/s^2 per unit of the record
  double halfspace_rho = 0.0;  // t/m^3
};

// Iterates from the small-strain properties until no G/Gmax or damping at
// any sublayer and frequency changes by more than tol (relative; damping
// relative to at least 0.1 %) or max_iter responses. Throws korvo::Error for
// input that cannot be analysed.
FdResult fd_eql(const std::vector<Sublayer>& subs, const HalfSpace& halfspace, const Motion& motion,
                const FdOptions& options);

// After fd_eql: the total acceleration (record unit) at a depth (m) within
// the column or the half-space, the record's length.
std::vector<double> fd_acceleration_at(const FdResult& r, const std::vector<Sublayer>& subs,
                                       double depth);
// The same for the shear strain (%) and stress (kPa, G* = rho V*^2 of the
// frequency times its strain; the static term left out).
std::vector<double> fd_strain_at(const FdResult& r, const std::vector<Sublayer>& subs,
                                 double depth);
std::vector<double> fd_stress_at(const FdResult& r, const std::vector<Sublayer>& subs,
                                 double depth);

// The smoothed strain spectrum's shape over frequency bins f (Hz) of the
// amplitude spectrum `amp`, 1 up to f_mean: what scales the effective strain.
struct StrainShape {
  double f_mean = 0.0, exponent = 0.0;
  double at(double f) const;
};
StrainShape strain_shape(const std::vector<double>& f, const std::vector<double>& amp,
                         Smoothing smoothing);

}  // namespace korvo::column
