// Site response to a random-vibration-theory motion: the layered column's
// transfer functions evaluated at the motion's quadrature frequencies, and
// peaks (surface PSA and PGA, sublayer strains) from spectral moments and a
// peak factor instead of time histories. Linear, or equivalent-linear by the
// same iteration as records (column::iterate). Double precision throughout;
// faults are korvo::Error naming the argument.
#pragma once

#include <complex>
#include <vector>

#include "column/column.h"
#include "rvt/rvt.h"

namespace korvo::column {

// The column for the properties `props` (one per sublayer) at each frequency
// (Hz, >= 0): the same waves, complex modulus and interface conditions as
// Analysis, evaluated directly at each frequency instead of on a transform's
// bins. Where the amplitudes leave the range of doubles (soft, damped columns
// at high frequency) every entry of that frequency is 0, as in Analysis.
struct ColumnTransfer {
  // Surface over input motion (outcrop: twice the half-space's up-going
  // wave; within: the motion at its top).
  std::vector<std::complex<double>> surface;
  // strain[m][i]: shear strain (a fraction) at mid-depth of sublayer m per
  // unit input acceleration (m/s^2) at frequency i; 0 at f = 0, where a
  // constant acceleration loads nothing.
  std::vector<std::vector<std::complex<double>>> strain;
};
ColumnTransfer column_transfer(const std::vector<Sublayer>& subs, const HalfSpace& halfspace,
                               const std::vector<Props>& props,
                               const std::vector<double>& frequency, ComplexModulus modulus,
                               InputKind input);

struct RvtSiteOptions {
  // Method, strain ratio, tolerance, iteration limit, acceleration, complex
  // modulus and input kind as for records; pad and nfft mean nothing here.
  Options column;
  rvt::Method peaks;            // peak factor for PSA, PGA and the strains alike
  rvt::Grid grid;               // the quadrature grid, also the frequencies of the results
  std::vector<double> periods;  // s, > 0; empty: 100 evenly in log from 0.01 to 10 s
  double damping = 0.05;        // of the spectra, fraction of critical
};

struct RvtSiteResult {
  // Per sublayer, as Result: the properties of the final response, strains
  // in %, stresses in kPa.
  std::vector<Props> props;
  std::vector<double> strain_eff, strain_peak, stress_peak;
  std::vector<IterationRow> rows;
  bool converged = false;
  int iterations = 0;
  double seconds = 0.0;  // spent iterating, wall clock

  double duration = 0.0;                       // s, the motion's ground-motion duration
  std::vector<double> frequency;               // Hz, the grid
  std::vector<double> input_fas, surface_fas;  // g s, on the grid
  std::vector<std::complex<double>> transfer;  // surface over input, on the grid
  std::vector<double> periods;                 // s
  // The input motion's PSA as given (the outcrop motion for InputKind::Outcrop),
  // the surface's, and their ratio; g and g/g.
  std::vector<double> input_psa, surface_psa, amplification;
  double input_pga = 0.0, surface_pga = 0.0;  // g
};

// The motion's FAS is taken as the input motion (outcrop or within, as
// options.column.input says) and resampled on options.grid. A sublayer's
// peak strain is the peak of its strain FAS (the input FAS times the strain
// transfer function) by the peak factor of options.peaks over the motion's
// ground-motion duration, rms taken over that duration too: strain is
// ground motion, not an oscillator, so no Boore-Joyner lengthening.
// Effective strain = strain ratio x peak, as for records.
RvtSiteResult rvt_site(const std::vector<Sublayer>& subs, const HalfSpace& halfspace,
                       const rvt::Motion& motion, const RvtSiteOptions& options = {});

}  // namespace korvo::column
