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

}  // namespace korvo::fourier
