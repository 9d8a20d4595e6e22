#include <benchmark/benchmark.h>

#include <vector>

#include "site/site.h"

using namespace korvo;

namespace {

constexpr Integer LINES = 16385;

// 49 layers over a half-space, stiffening with depth; damped, oblique.
Profile column(Real QEXP) {
  Profile p;
  for (int k = 0; k < LMAX; ++k) {
    const Real d = static_cast<Real>(k);
    p.RHO[k] = 1.7f + 0.01f * d;
    p.VS[k] = 150.0f + 20.0f * d;
    p.VP[k] = 2.1f * p.VS[k];
    p.QS[k] = 10.0f + d;
    p.QP[k] = 2.0f * p.QS[k];
    p.TH[k] = 3.0f + 0.1f * d;
  }
  p.NL = LMAX;
  p.QEXP = QEXP;
  p.ANGLE = 0.3f;
  p.IFLAG = 1;
  return p;
}

Grid lines() {
  Grid g;
  g.DOM = 0.05f;
  g.NOM = LINES;
  return g;
}

void report(benchmark::State& state) {
  state.counters["per_line_boundary"] = benchmark::Counter(
      static_cast<double>(LINES - 1) * (LMAX - 1),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// range(0): 0 elastic, 1 damping constant in frequency (QEXP 0), 2 damping
// varying with frequency (QEXP 0.3: every line forms its own velocities).
Real qexp(const benchmark::State& state) {
  const Real Q[] = {999.0f, 0.0f, 0.3f};
  return Q[state.range(0)];
}

void BM_scalar(benchmark::State& state) {
  const Profile p = column(qexp(state));
  static std::vector<Complex> AMP(2 * static_cast<size_t>(AMP_STRIDE));
  for (auto _ : state) {
    scalar_layer_transfer(lines(), p, p.VS, p.QS, AMP.data());
    benchmark::DoNotOptimize(AMP.data());
  }
  report(state);
}

void BM_vertical(benchmark::State& state) {
  const Profile p = column(qexp(state));
  static std::vector<Complex> AMP(2 * static_cast<size_t>(AMP_STRIDE));
  for (auto _ : state) {
    vertical_layer_transfer(lines(), p, AMP.data());
    benchmark::DoNotOptimize(AMP.data());
  }
  report(state);
}

}  // namespace

// Wall time: the lines may be shared among threads. For the cost on one core,
// run under `taskset -c 0`.
BENCHMARK(BM_scalar)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_vertical)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
