// Response spectra of an acceleration history: peak responses of damped
// linear oscillators on a period grid, and the ground's own peaks.
//
// The history is taken as piecewise linear between samples and every step of
// every oscillator is the exact solution over that step. Stored quantities are
// Reals; each step is computed in double and rounded once when stored.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "korvo.h"

namespace korvo::spectra {

struct SpectraError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct History {
  std::vector<Real> a;  // accelerations, any unit
  Real dt = 0.0f;       // s
};

// Lines of `time value` (more columns are ignored; '#' starts a comment; blank
// lines are skipped), e.g. korvo_dat. dt is the mean spacing of the first and
// last times; every time must lie within a quarter step (or half a unit of its
// last written decimal, when that is more) of its place on that grid, so gaps
// and reordered lines are faults. `dt_override` > 0 skips that check and is
// used instead. Faults name the file and line.
History read_history(std::string_view text, std::string_view name, double dt_override = 0.0);

struct GroundPeaks {
  Real pga = 0.0f, pgv = 0.0f, pgd = 0.0f;  // largest |a|, |v|, |d|; v and d start at rest
};
GroundPeaks ground_peaks(const std::vector<Real>& a, Real dt);

// Peaks of u'' + 2 zeta w u' + w^2 u = -a(t), starting at rest, over the record.
struct Response {
  Real period = 0.0f;
  Real sd = 0.0f;   // largest |u|, unit of a times s^2
  Real sv = 0.0f;   // largest |u'| (relative velocity), unit of a times s
  Real psa = 0.0f;  // w^2 sd, unit of a
};
// period > 0, 0 <= damping < 1, dt > 0.
Response oscillator_peaks(const std::vector<Real>& a, Real dt, Real period, Real damping);

// `count` periods from `first` to `last` evenly spaced in log(period).
std::vector<Real> log_periods(Real first, Real last, int count);

// The spectra file: comment lines with the source, damping and ground peaks,
// then one line per period: period, PSA, SV, SD.
std::string format_spectra(std::string_view source, const History& h, Real damping,
                           const GroundPeaks& g, const std::vector<Response>& rows);

namespace detail {
// One step of an oscillator: [u, v] at the next sample is
// [u + c11 u + a12 v + b11 a0 + b12 a1, v + a21 u + c22 v + b21 a0 + b22 a1].
// c11 and c22 are the diagonal of the transition matrix less one, kept apart
// so that long periods (where both are nearly 1) keep their precision.
struct Step {
  Real c11, a12, a21, c22, b11, b12, b21, b22;
};
Step step_coefficients(double period, double damping, double dt);
}  // namespace detail

}  // namespace korvo::spectra
