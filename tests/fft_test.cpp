#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "spectral/spectral.h"
#include "support/simd.h"

using namespace korvo;

namespace {

std::vector<Complex> run_fft(std::vector<Complex> x, int ind) {
  fft(static_cast<Integer>(x.size()), x.data(), ind);
  return x;
}

}  // namespace

TEST(Fft, TrivialLengths) {
  for (int ind : {-1, 1}) {
    auto one = run_fft({{3.5f, -1.25f}}, ind);
    EXPECT_EQ(one[0].re, 3.5f);
    EXPECT_EQ(one[0].im, -1.25f);
    auto two = run_fft({{1.0f, 2.0f}, {0.5f, -4.0f}}, ind);
    EXPECT_EQ(two[0].re, 1.5f);
    EXPECT_EQ(two[0].im, -2.0f);
    EXPECT_EQ(two[1].re, 0.5f);
    EXPECT_EQ(two[1].im, 6.0f);
  }
}

TEST(Fft, ImpulseGivesFlatSpectrum) {
  for (int ind : {-1, 1}) {
    std::vector<Complex> x(8, {0.0f, 0.0f});
    x[0] = {1.0f, 0.0f};
    for (const Complex& c : run_fft(x, ind)) {
      EXPECT_EQ(c.re, 1.0f);
      EXPECT_EQ(c.im, 0.0f);
    }
  }
}

// exp(2 pi i (n-1) 3/8) lands on line 4 going forward and on line 6 going back.
TEST(Fft, SingleToneLandsOnItsLine) {
  std::vector<Complex> x(8);
  for (int n = 0; n < 8; ++n) {
    const double a = 2.0 * M_PI * n * 3.0 / 8.0;
    x[static_cast<size_t>(n)] = {static_cast<Real>(std::cos(a)), static_cast<Real>(std::sin(a))};
  }
  for (auto [ind, line] : {std::pair{-1, 4}, std::pair{1, 6}}) {
    const auto y = run_fft(x, ind);
    for (int k = 1; k <= 8; ++k) {
      const Complex c = y[static_cast<size_t>(k - 1)];
      EXPECT_NEAR(c.re, k == line ? 8.0 : 0.0, 5e-6) << "ind " << ind << " line " << k;
      EXPECT_NEAR(c.im, 0.0, 5e-6) << "ind " << ind << " line " << k;
    }
  }
}

TEST(Fft, PermutationIsBitReversal) {
  for (int N : {1, 2, 8, 16, 1024}) {
    std::vector<Complex> x(static_cast<size_t>(N));
    for (int i = 0; i < N; ++i) x[static_cast<size_t>(i)] = {static_cast<Real>(i + 1), 0.0f};
    detail::bit_reverse(N, x.data());
    const int bits = static_cast<int>(std::log2(N) + 0.5);
    for (int p = 0; p < N; ++p) {
      int r = 0;
      for (int b = 0; b < bits; ++b) r |= ((p >> b) & 1) << (bits - 1 - b);
      EXPECT_EQ(x[static_cast<size_t>(p)].re, static_cast<Real>(r + 1)) << "N " << N << " p " << p;
    }
    if (N == 8) {
      const Real order[] = {1, 5, 3, 7, 2, 6, 4, 8};
      for (int p = 0; p < 8; ++p) EXPECT_EQ(x[static_cast<size_t>(p)].re, order[p]);
    }
  }
}

// An impulse at position p puts exp(-2 pi i p k / 8) on line k.
TEST(Fft, ImpulseAtEveryPosition) {
  for (int p = 0; p < 8; ++p) {
    std::vector<Complex> x(8, {0.0f, 0.0f});
    x[static_cast<size_t>(p)] = {1.0f, 0.0f};
    const auto y = run_fft(x, -1);
    for (int k = 0; k < 8; ++k) {
      const double a = -2.0 * M_PI * p * k / 8.0;
      EXPECT_NEAR(y[static_cast<size_t>(k)].re, std::cos(a), 1e-6) << p << " " << k;
      EXPECT_NEAR(y[static_cast<size_t>(k)].im, std::sin(a), 1e-6) << p << " " << k;
    }
  }
}

TEST(Fft, RealInputHasConjugateSymmetry) {
  std::mt19937 gen(7);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  const int N = 64;
  std::vector<Complex> x(N);
  for (auto& c : x) c = {u(gen), 0.0f};
  const auto y = run_fft(x, -1);
  EXPECT_EQ(y[0].im, 0.0f);
  EXPECT_EQ(y[N / 2].im, 0.0f);
  for (int k = 2; k <= N / 2; ++k) {
    const Complex a = y[static_cast<size_t>(k - 1)], b = y[static_cast<size_t>(N + 2 - k - 1)];
    EXPECT_NEAR(a.re, b.re, 1e-5) << k;
    EXPECT_NEAR(a.im, -b.im, 1e-5) << k;
  }
}

TEST(Fft, ForwardThenInverseGivesNTimesInput) {
  std::mt19937 gen(11);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int N : {4, 32, 1024, 32768}) {
    std::vector<Complex> x(static_cast<size_t>(N));
    for (auto& c : x) c = {u(gen), u(gen)};
    const auto y = run_fft(run_fft(x, -1), 1);
    double worst = 0.0;
    for (size_t i = 0; i < x.size(); ++i) {
      worst = std::max(worst, std::fabs(double(y[i].re) / N - x[i].re));
      worst = std::max(worst, std::fabs(double(y[i].im) / N - x[i].im));
    }
    // log2(N) passes of single-precision butterflies.
    EXPECT_LT(worst, 4e-7 * std::log2(N)) << "N = " << N;
  }
}

// Against a direct O(N^2) sum in long double. The error of a radix-2 transform
// in single precision grows like log2(N) units of 2^-24 times the rms of the
// output; the bound below allows a factor 4 over that.
TEST(Fft, AgreesWithDirectSum) {
  std::mt19937 gen(3);
  std::normal_distribution<float> g(0.0f, 1.0f);
  for (int N : {2, 4, 8, 16, 64, 256, 1024}) {
    for (int ind : {-1, 1}) {
      std::vector<Complex> x(static_cast<size_t>(N));
      for (auto& c : x) c = {g(gen), g(gen)};
      const auto y = run_fft(x, ind);
      long double err2 = 0, ref2 = 0;
      for (int k = 0; k < N; ++k) {
        long double re = 0, im = 0;
        for (int n = 0; n < N; ++n) {
          const long double a =
              ind * 2.0L * 3.14159265358979323846L * static_cast<long double>((n * k) % N) / N;
          const Complex c = x[static_cast<size_t>(n)];
          re += c.re * cosl(a) - c.im * sinl(a);
          im += c.re * sinl(a) + c.im * cosl(a);
        }
        const Complex o = y[static_cast<size_t>(k)];
        err2 += (o.re - re) * (o.re - re) + (o.im - im) * (o.im - im);
        ref2 += re * re + im * im;
      }
      const double rel = std::sqrt(static_cast<double>(err2 / ref2));
      EXPECT_LT(rel, 4.0 * std::log2(N) * 0x1p-24 + 1e-7) << "N = " << N << " ind " << ind;
    }
  }
}

namespace {

using support::every_simd;

}  // namespace

// The transform takes every group's twiddle factor from one table per length.
// Each must be the factor the group's own angle gives, (M - 1) IND pi / MMAX
// rounded to a Real and then its cosine and sine, bit for bit: every group of
// every stage, every length up to NMAX, both directions, the table formed by
// every instruction set (the vector ones with libmvec's cos and sin).
TEST(Fft, TwiddleTableHasEachGroupsOwnFactor) {
  std::vector<Complex> W(static_cast<size_t>(NMAX / 2));
  for (Simd set : every_simd()) {
    for (Integer N = 2; N <= NMAX; N *= 2) {
      for (Integer IND : {-1, 1}) {
        detail::twiddles(N, IND, W.data(), set);
        int differ = 0;
        for (Integer MMAX = 1; MMAX < N; MMAX *= 2) {
          for (Integer M = 1; M <= MMAX; ++M) {
            const Real THETA = static_cast<Real>(static_cast<double>((M - 1) * IND) *
                                                 static_cast<double>(PI) / MMAX);
            const Complex w = W[static_cast<size_t>((M - 1) * (N / (2 * MMAX)))];
            const Real c = static_cast<Real>(std::cos(static_cast<double>(THETA)));
            const Real s = static_cast<Real>(std::sin(static_cast<double>(THETA)));
            differ +=
                std::memcmp(&w.re, &c, sizeof c) != 0 || std::memcmp(&w.im, &s, sizeof s) != 0;
          }
        }
        EXPECT_EQ(differ, 0) << "N " << N << " IND " << IND << " " << detail::simd_name(set);
      }
    }
  }
}

// The vector butterflies give the scalar bits and raise the same faults:
// lengths below, at and above a vector of groups, values of every size
// (subnormal, and large enough to overflow in the last stages).
TEST(Fft, EverySetGivesTheScalarBits) {
  std::mt19937 gen(5);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (Integer N : {2, 4, 8, 16, 32, 4096, NMAX}) {
    for (Real scale : {1.0f, 1e-40f, 4e34f}) {
      std::vector<Complex> x(static_cast<size_t>(N));
      for (auto& c : x) c = {u(gen) * scale, u(gen) * scale};
      for (Integer IND : {-1, 1}) {
        std::vector<Complex> want = x;
        fp_clear();
        detail::fft(N, want.data(), IND, Simd::scalar);
        const char* fault = fp_fault();
        for (Simd set : every_simd()) {
          std::vector<Complex> got = x;
          fp_clear();
          detail::fft(N, got.data(), IND, set);
          EXPECT_EQ(fp_fault(), fault) << detail::simd_name(set) << " N " << N << " " << scale;
          EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(Complex)), 0)
              << detail::simd_name(set) << " N " << N << " scale " << scale << " IND " << IND;
        }
      }
    }
  }
}
