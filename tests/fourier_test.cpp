// Fourier amplitude spectra against Parseval and a sinusoid's closed form;
// Konno-Ohmachi weights against a hand calculation.
#include "motion/fourier.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "korvo.h"

using namespace korvo::fourier;

TEST(FourierSpectrum, ParsevalAndASinusoid) {
  const double dt = 0.01, pi = 3.14159265358979323846;
  for (long n : {1000L, 1024L, 999L}) {
    std::vector<double> a(static_cast<std::size_t>(n));
    for (long t = 0; t < n; ++t)
      a[static_cast<std::size_t>(t)] = std::sin(0.37 * static_cast<double>(t)) +
                                       0.2 * std::cos(1.9 * static_cast<double>(t * t % 97));
    for (long length : {0L, n + 77}) {
      const Spectrum s = amplitude_spectrum(a, dt, length);
      const long N = length ? length : n;
      ASSERT_EQ(s.frequency.size(), static_cast<std::size_t>(N / 2 + 1));
      EXPECT_DOUBLE_EQ(s.frequency[1], 1.0 / (static_cast<double>(N) * dt));
      // sum a^2 dt = df sum over all N lines of |X dt|^2, lines k and N - k alike.
      double energy = 0.0, lines = 0.0;
      for (double v : a) energy += v * v * dt;
      for (std::size_t k = 0; k < s.amplitude.size(); ++k) {
        const bool single = k == 0 || (N % 2 == 0 && k == static_cast<std::size_t>(N / 2));
        lines += (single ? 1.0 : 2.0) * s.amplitude[k] * s.amplitude[k];
      }
      EXPECT_NEAR(lines * s.frequency[1], energy, 1e-10 * energy) << n << " " << length;
    }
  }
  // 10 whole cycles of amplitude 3 in 1000 samples: |X| dt = 3 n dt / 2 at line 10, 0 elsewhere.
  std::vector<double> a(1000);
  for (std::size_t t = 0; t < a.size(); ++t)
    a[t] = 3.0 * std::cos(2.0 * pi * 10.0 * static_cast<double>(t) / 1000.0);
  const Spectrum s = amplitude_spectrum(a, dt);
  EXPECT_NEAR(s.amplitude[10], 3.0 * 1000 * dt / 2.0, 1e-9);
  EXPECT_NEAR(s.amplitude[11], 0.0, 1e-9);
  EXPECT_THROW(amplitude_spectrum(a, -dt), korvo::Error);
  EXPECT_THROW(amplitude_spectrum(a, dt, 10), korvo::Error);
}

TEST(KonnoOhmachi, WeightsAndMeans) {
  const double b = 40.0, pi = 3.14159265358979323846;
  // At f = fc 10^(pi / 2b) the weight is (sin(pi/2) / (pi/2))^4 = (2/pi)^4.
  const double fc = 2.0, f = fc * std::pow(10.0, pi / (2.0 * b)), w = std::pow(2.0 / pi, 4.0);
  EXPECT_NEAR(konno_ohmachi({0.0, fc, f}, {5.0, 0.0, 1.0}, {fc}, b)[0], w / (1.0 + w), 1e-12);
  // A mean: a constant spectrum stays constant at every centre; the zero line is left out.
  std::vector<double> freq, amp;
  for (int k = 0; k < 500; ++k) {
    freq.push_back(0.05 * k);
    amp.push_back(k == 0 ? 100.0 : 2.5);
  }
  for (double v : konno_ohmachi(freq, amp, {0.1, 1.0, 7.3, 24.9}, 20.0)) EXPECT_NEAR(v, 2.5, 1e-12);
  EXPECT_THROW(konno_ohmachi(freq, amp, {0.0}), korvo::Error);
  EXPECT_THROW(konno_ohmachi(freq, {1.0}, {1.0}), korvo::Error);
}

// Sinusoids on the transform's own lines pass a trapezoid with its gain at
// their frequency: 1 Hz inside the band, 6.5 Hz halfway down the 5-8 Hz
// ramp, 0.25 Hz a third of the way up the 0.1-0.55 Hz ramp, 20 Hz cut.
TEST(BandPass, EachLineTakesTheTrapezoidsGain) {
  const double dt = 0.01, pi = 3.14159265358979323846;
  const long n = 2000;  // 20 s: every frequency below on a line
  std::vector<double> a(n), want(n);
  for (long i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) * dt;
    auto s = [&](double f) { return std::sin(2.0 * pi * f * t); };
    a[i] = s(1.0) + s(6.5) + s(0.25) + s(20.0);
    want[i] = s(1.0) + 0.5 * s(6.5) + (0.15 / 0.45) * s(0.25);
  }
  const double corners[4] = {0.1, 0.55, 5.0, 8.0};
  const std::vector<double> got = band_pass(a, dt, corners, n);
  for (long i = 0; i < n; ++i) ASSERT_NEAR(got[i], want[i], 1e-11) << i;
  // No high cut: 20 Hz stays.
  const double open[4] = {0.0, 0.0, 5.0, HUGE_VAL};
  const std::vector<double> high = band_pass(a, dt, open, n);
  EXPECT_NEAR(high[7], a[7], 1e-11);
  const double falling[4] = {1.0, 0.5, 5.0, 8.0};
  EXPECT_THROW(band_pass(a, dt, falling, n), korvo::Error);
}

TEST(BandPass, TrendsRemoved) {
  std::vector<double> line(50), wavy(50);
  for (int i = 0; i < 50; ++i) {
    line[i] = 3.0 + 0.5 * i;
    wavy[i] = 3.0 + (i % 2 == 0 ? 1.0 : -1.0);
  }
  for (double v : remove_trend(line, 1)) EXPECT_NEAR(v, 0.0, 1e-12);
  const std::vector<double> mean = remove_trend(wavy, 0);
  EXPECT_NEAR(mean[0], 1.0, 1e-12);
  EXPECT_NEAR(mean[1], -1.0, 1e-12);
}
