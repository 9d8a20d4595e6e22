// Fourier amplitude spectra of records and their Konno-Ohmachi smoothing, in
// double precision.
#pragma once

#include <vector>

namespace korvo::fourier {

struct Spectrum {
  std::vector<double> frequency;  // Hz, k / (n dt) for k = 0 .. n/2
  std::vector<double> amplitude;  // |X(f)| dt: the record's unit times s
};

// The one-sided amplitude spectrum of a[0..n) sampled at dt, padded with
// zeros to `length` samples (0: n itself; else at least n). dt > 0, n >= 2.
Spectrum amplitude_spectrum(const std::vector<double>& a, double dt, long length = 0);

// Konno & Ohmachi (1998) smoothing at the centre frequencies fc (Hz, > 0):
// the weighted mean of the amplitudes at every positive frequency f, with
// weights [sin(b log10(f/fc)) / (b log10(f/fc))]^4 (1 at f = fc); b is the
// bandwidth coefficient (40 is usual; smaller smooths more). The sum is
// taken over the whole spectrum, not truncated. Frequencies in increasing
// order; the zero-frequency line is left out.
std::vector<double> konno_ohmachi(const std::vector<double>& frequency,
                                  const std::vector<double>& amplitude,
                                  const std::vector<double>& centres, double b = 40.0);

// A trapezoidal band-pass of a[0..n) sampled at dt: the Fourier lines are
// kept whole from f2 to f3 Hz, cut to 0 below f1 and above f4, and scaled
// linearly between (0 <= f1 <= f2 <= f3 <= f4; f1 = f2 = 0 keeps the low
// end, f4 = inf the high). The record is padded with zeros to `length`
// samples (at least n, a length FFTW plans quickly) so that the filter does
// not wrap its end onto its start; the result has n samples.
std::vector<double> band_pass(const std::vector<double>& a, double dt, const double corners[4],
                              long length);

// a[0..n) less its least-squares straight line in time (its mean when
// `order` is 0): a drift of the baseline left in a record.
std::vector<double> remove_trend(const std::vector<double>& a, int order);

}  // namespace korvo::fourier
