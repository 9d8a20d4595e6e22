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

// range(1): 0 one thread (the cost on one core), 1 the lines shared among
// the cores. The kernels are the run's: KORVO_SIMD=scalar|avx2|avx512 picks them.
void run(benchmark::State& state, Integer IWAVE) {
  const Profile p = column(qexp(state));
  static std::vector<Complex> AMP(2 * static_cast<size_t>(AMP_STRIDE));
  const LinePlan plan(state.range(1) != 0);
  for (auto _ : state) {
    site_transfer(IWAVE, lines(), p, AMP.data(), plan);
    benchmark::DoNotOptimize(AMP.data());
  }
  report(state);
  state.SetLabel(detail::simd_name(simd_level()));
}

void BM_scalar(benchmark::State& state) { run(state, 0); }
void BM_vertical(benchmark::State& state) { run(state, 1); }

}  // namespace

BENCHMARK(BM_scalar)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_vertical)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
