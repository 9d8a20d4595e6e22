#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "text/text.h"

namespace {

using korvo::Real;

// Values like those of a result file: signed, spread over many decades.
std::vector<Real> sample(int n) {
  std::vector<Real> v(static_cast<std::size_t>(n));
  std::uint32_t s = 2463534242u;
  for (Real& x : v) {
    s ^= s << 13, s ^= s >> 17, s ^= s << 5;
    const Real m = static_cast<Real>(s & 0xffffff) / 16777216.0f - 0.5f;
    Real scale = 1.0f;
    for (std::uint32_t e = (s >> 24) % 12; e > 0; --e) scale *= 10.0f;
    x = m * scale * 1e-4f;
  }
  return v;
}

void E12_4(benchmark::State& state) {
  const std::vector<Real> v = sample(4096);
  char out[16];
  for (auto _ : state) {
    for (Real x : v) {
      korvo::detail::put_E(out, x, 12, 4);
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(v.size()));
}
BENCHMARK(E12_4);

void ListReal(benchmark::State& state) {
  const std::vector<Real> v = sample(4096);
  char out[32];
  for (auto _ : state) {
    for (Real x : v) {
      korvo::detail::put_list_real(out, x);
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(v.size()));
}
BENCHMARK(ListReal);

// Records of S_amp1's layout into a buffered file (/dev/null): the cost of a
// field with its share of the record.
void TransferRecords(benchmark::State& state) {
  const std::vector<Real> v = sample(7 * 1024);
  korvo::Sink out;
  korvo::create_output(out, "/dev/null");
  constexpr korvo::Layout LINE = korvo::layout("(F8.4,6E12.4)");
  for (auto _ : state) {
    for (std::size_t i = 0; i < v.size(); i += 7) {
      const Real f = static_cast<Real>(i) * 0.0061f;
      korvo::write_formatted(out, LINE,
                             {f, v[i + 1], v[i + 2], v[i + 3], v[i + 4], v[i + 5], v[i + 6]});
    }
  }
  korvo::close_output(out);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(v.size()));
}
BENCHMARK(TransferRecords);

// A record file of time/acceleration pairs read pair by pair to its end.
void ReadPairs(benchmark::State& state) {
  const std::vector<Real> a = sample(4096);
  std::string text;
  char line[64];
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::snprintf(line, sizeof line, "%.4f %e\n", 0.01 * static_cast<double>(i),
                  static_cast<double>(a[i]));
    text += line;
  }
  std::FILE* f = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), f);
  korvo::Source in = korvo::console_in("the pairs", f);
  in.console = false;
  std::int64_t numbers = 0;
  for (auto _ : state) {
    std::rewind(f);
    in.line = 0;
    Real t = 0.0f, x = 0.0f;
    while (korvo::read_list(in, {&t, &x})) numbers += 2;
    benchmark::DoNotOptimize(x);
  }
  state.SetItemsProcessed(numbers);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(ReadPairs);

}  // namespace
