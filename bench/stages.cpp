// Stage breakdown of one whole run: each stage of the pipeline timed on its
// own, the run repeated, and the minimum and median per stage printed.
// Process start and exit are not in it (bench/compare.py times whole runs).
//
// usage: korvo_stages DIR CASE [REPEATS]
//   DIR      the folder of the inputs (bench/make_inputs.sh writes them)
//   CASE     an answers file in DIR: record, soil, wave type, reference,
//            integrate/differentiate, band-pass and its corners
// The result files are written in the current folder. For the cost on one
// core run it under `taskset -c 0`.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "run/run.h"

using namespace korvo;

namespace {

struct Stage {
  const char* name;
  std::vector<double> ms;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: korvo_stages DIR CASE [REPEATS]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int repeats = argc > 3 ? std::stoi(argv[3]) : 20;
  std::ifstream answers(dir + "/" + argv[2]);
  std::string record, soil;
  Answers a;
  answers >> record >> soil >> a.IWAVE >> a.IAMP >> a.c.INTG >> a.c.IBPF;
  if (a.c.IBPF == 1) answers >> a.c.OML1 >> a.c.OML2 >> a.c.OMH1 >> a.c.OMH2;
  if (!answers) {
    std::fprintf(stderr, "korvo_stages: cannot read the answers in %s/%s\n", dir.c_str(), argv[2]);
    return 1;
  }
  record = dir + "/" + record;
  soil = dir + "/" + soil;

  static Workspace w;
  std::vector<Stage> stages = {
      {"record parse", {}},       {"soil file", {}},    {"forward transform", {}},
      {"transfer functions", {}}, {"phase factor", {}}, {"S_amp1 text", {}},
      {"conditioning", {}},       {"amp_dat text", {}}, {"inverse transform", {}},
      {"korvo_dat text", {}},
  };
  try {
    for (int r = 0; r < repeats; ++r) {
      using clock = std::chrono::steady_clock;
      std::size_t k = 0;
      auto t0 = clock::now();
      auto lap = [&] {
        const auto t1 = clock::now();
        stages[k++].ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        t0 = t1;
      };
      Grid g;
      read_record_file(record.c_str(), w.T, w.A, g);
      lap();
      const Profile p = read_soil_file(soil.c_str());
      lap();
      transform_length(g);
      forward_transform(w, g);
      frequency_grid(g);
      scale(w.X, g.NF, g.DT);
      lap();
      site_transfer(a.IWAVE, g, p, w.AMP);
      lap();
      amplify(w.X, w.A, w.B, w.AMP, a.IAMP, g, p);
      lap();
      write_transfer_file("S_amp1", w.AMP, g, g.NOM);
      lap();
      condition(w.X, w.A, w.B, g, a.c);
      lap();
      write_spectrum_file("amp_dat", w.X, g);
      lap();
      inverse_transform(w, g);
      lap();
      write_history_file("korvo_dat", w.T, w.A, g);
      lap();
    }
  } catch (const Error& e) {
    std::fprintf(stderr, "korvo_stages: %s\n", e.what());
    return 1;
  }

  std::printf("%-20s %9s %9s   (%d runs of %s)\n", "stage", "min ms", "median", repeats, argv[2]);
  double total_min = 0.0, total_median = 0.0;
  for (const Stage& s : stages) {
    const double lo = *std::min_element(s.ms.begin(), s.ms.end()), mid = median(s.ms);
    total_min += lo;
    total_median += mid;
    std::printf("%-20s %9.2f %9.2f\n", s.name, lo, mid);
  }
  std::printf("%-20s %9.2f %9.2f\n", "sum", total_min, total_median);
  return 0;
}
