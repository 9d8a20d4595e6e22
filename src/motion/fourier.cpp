#include "motion/fourier.h"

#include <cmath>
#include <string>

#include "korvo.h"
#include "motion/fftw.h"

namespace korvo::fourier {

Spectrum amplitude_spectrum(const std::vector<double>& a, double dt, long length) {
  const long n = static_cast<long>(a.size());
  if (n < 2 || !(dt > 0.0) || !std::isfinite(dt))
    throw Error("a spectrum needs two samples and dt > 0");
  if (length == 0) length = n;
  if (length < n || length > (1L << 26))
    throw Error("a transform of " + std::to_string(length) + " samples for a record of " +
                std::to_string(n) + " (at least the record, at most 2^26)");
  const auto N = static_cast<std::size_t>(length);
  auto x = fftw::array<double>(N);
  auto X = fftw::array<fftw_complex>(N / 2 + 1);
  const fftw::Plan plan = fftw::plan_r2c(static_cast<int>(N), x.get(), X.get());
  for (std::size_t t = 0; t < N; ++t) x[t] = t < a.size() ? a[t] : 0.0;
  fftw_execute_dft_r2c(plan.get(), x.get(), X.get());
  Spectrum s;
  const double df = 1.0 / (static_cast<double>(N) * dt);
  for (std::size_t k = 0; k <= N / 2; ++k) {
    s.frequency.push_back(df * static_cast<double>(k));
    s.amplitude.push_back(std::hypot(X[k][0], X[k][1]) * dt);
  }
  for (double v : s.amplitude)
    if (!std::isfinite(v)) throw Error("the Fourier spectrum is not finite");
  return s;
}

std::vector<double> konno_ohmachi(const std::vector<double>& frequency,
                                  const std::vector<double>& amplitude,
                                  const std::vector<double>& centres, double b) {
  if (frequency.size() != amplitude.size())
    throw Error("konno_ohmachi: " + std::to_string(frequency.size()) + " frequencies but " +
                std::to_string(amplitude.size()) + " amplitudes");
  if (!(b > 0.0) || !std::isfinite(b)) throw Error("konno_ohmachi: the bandwidth b must be > 0");
  std::vector<double> out;
  out.reserve(centres.size());
  for (double fc : centres) {
    if (!(fc > 0.0) || !std::isfinite(fc))
      throw Error("konno_ohmachi: a centre frequency must be > 0");
    double sum = 0.0, weights = 0.0;
    for (std::size_t k = 0; k < frequency.size(); ++k) {
      const double f = frequency[k];
      if (!(f > 0.0)) continue;
      const double x = b * std::log10(f / fc);
      // sin(x)/x is 1 to rounding for |x| below 1e-4: no division by zero there.
      const double w = std::fabs(x) < 1e-4 ? 1.0 : std::pow(std::sin(x) / x, 4.0);
      sum += w * amplitude[k];
      weights += w;
    }
    out.push_back(weights > 0.0 ? sum / weights : 0.0);
  }
  return out;
}

}  // namespace korvo::fourier
