#include "motion/fourier.h"

#include <cmath>
#include <string>

#include "korvo.h"
#include "motion/fftw.h"

namespace korvo::fourier {

namespace {

// A record padded with zeros to `length` samples and its forward transform.
struct Lines {
  std::size_t N;
  fftw::Array<double> x;
  fftw::Array<fftw_complex> X;
};

Lines transform(const std::vector<double>& a, double dt, long length, const char* what) {
  const long n = static_cast<long>(a.size());
  if (n < 2 || !(dt > 0.0) || !std::isfinite(dt))
    throw Error(std::string(what) + " needs two samples and dt > 0");
  if (length < n || length > (1L << 26))
    throw Error("a transform of " + std::to_string(length) + " samples for a record of " +
                std::to_string(n) + " (at least the record, at most 2^26)");
  const auto N = static_cast<std::size_t>(length);
  Lines l{N, fftw::array<double>(N), fftw::array<fftw_complex>(N / 2 + 1)};
  const fftw::Plan plan = fftw::plan_r2c(static_cast<int>(N), l.x.get(), l.X.get());
  for (std::size_t t = 0; t < N; ++t) l.x[t] = t < a.size() ? a[t] : 0.0;
  fftw_execute_dft_r2c(plan.get(), l.x.get(), l.X.get());
  return l;
}

}  // namespace

Spectrum amplitude_spectrum(const std::vector<double>& a, double dt, long length) {
  Lines l = transform(a, dt, length == 0 ? static_cast<long>(a.size()) : length, "a spectrum");
  const std::size_t N = l.N;
  auto& X = l.X;
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

std::vector<double> band_pass(const std::vector<double>& a, double dt, const double corners[4],
                              long length) {
  const double f1 = corners[0], f2 = corners[1], f3 = corners[2], f4 = corners[3];
  if (!(0.0 <= f1 && f1 <= f2 && f2 <= f3 && f3 <= f4))
    throw Error("band-pass corners must rise: 0 <= f1 <= f2 <= f3 <= f4");
  Lines l = transform(a, dt, length, "a band-pass");
  const std::size_t N = l.N;
  auto& x = l.x;
  auto& X = l.X;
  const fftw::Plan inverse = fftw::plan_c2r(static_cast<int>(N), X.get(), x.get());
  const double df = 1.0 / (static_cast<double>(N) * dt);
  for (std::size_t k = 0; k <= N / 2; ++k) {
    const double f = df * static_cast<double>(k);
    // The gain of the trapezoid at f; a corner pair that meets is a step.
    double gain = 1.0;
    if (f < f1 || f > f4)
      gain = 0.0;
    else if (f < f2)
      gain = (f - f1) / (f2 - f1);
    else if (f > f3 && std::isfinite(f4))
      gain = (f4 - f) / (f4 - f3);
    gain /= static_cast<double>(N);  // FFTW's transforms are unnormalized
    X[k][0] *= gain;
    X[k][1] *= gain;
  }
  fftw_execute_dft_c2r(inverse.get(), X.get(), x.get());
  std::vector<double> out(x.get(), x.get() + a.size());
  for (double v : out)
    if (!std::isfinite(v)) throw Error("the band-passed record is not finite");
  return out;
}

std::vector<double> remove_trend(const std::vector<double>& a, int order) {
  const std::size_t n = a.size();
  if (n == 0) return {};
  // In centred time the line's two coefficients are independent sums.
  const double mid = (static_cast<double>(n) - 1.0) / 2.0;
  double mean = 0.0, slope_num = 0.0, slope_den = 0.0;
  for (std::size_t i = 0; i < n; ++i) mean += a[i];
  mean /= static_cast<double>(n);
  if (order > 0) {
    for (std::size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(i) - mid;
      slope_num += t * (a[i] - mean);
      slope_den += t * t;
    }
  }
  const double slope = slope_den > 0.0 ? slope_num / slope_den : 0.0;
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = a[i] - mean - slope * (static_cast<double>(i) - mid);
  return out;
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
