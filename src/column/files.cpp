#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "column/column.h"
#include "motion/record.h"

namespace korvo::column {

namespace {

std::string fixed(double x, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
  return buf;
}

}  // namespace

std::string format_history(const std::vector<double>& a, double dt, const std::string& unit) {
  const int d = record::time_decimals(dt);
  std::string out = "time_s,accel_" + record::column_unit(unit) + "\n";
  out.reserve(a.size() * 28);
  for (std::size_t k = 0; k < a.size(); ++k) {
    out += fixed(dt * static_cast<double>(k), d);
    out += ',';
    out += shortest(a[k]);
    out += '\n';
  }
  return out;
}

namespace {

std::string csv_text(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

}  // namespace

std::string format_profile(const Column& profile, const std::vector<Sublayer>& subs,
                           const Result& r, const std::string& unit) {
  const std::string lu = record::column_unit(profile.length_unit);
  const double lf = profile.length_factor, wf = profile.weight_factor;
  auto len = [&](double m) { return shortest(m / lf); };
  std::string out =
      "sublayer,layer,top_" + lu + ",mid_" + lu + ",thickness_" + lu + ",unit_weight_" +
      record::column_unit(profile.weight_unit) + ",vs0_" + lu + "_s,vs_" + lu +
      "_s,g_gmax,damping_pct,strain_eff_pct,strain_peak_pct,stress_peak_kpa,pga_top_" +
      record::column_unit(unit) + "\n";
  for (std::size_t m = 0; m < subs.size(); ++m) {
    const Sublayer& s = subs[m];
    const Layer& layer = profile.layers[static_cast<std::size_t>(s.layer)];
    const Props& P = r.props[m];
    out += std::to_string(m + 1) + "," + csv_text(layer.name) + "," + len(s.top) + "," +
           len(s.mid) + "," + len(s.thickness) + "," + shortest(layer.unit_weight / wf) + "," +
           len(s.vs0) + "," + len(s.vs0 * std::sqrt(P.g_ratio)) + "," + shortest(P.g_ratio) + "," +
           shortest(P.damping * 100.0) + "," + shortest(r.strain_eff[m]) + "," +
           shortest(r.strain_peak[m]) + "," + shortest(r.stress_peak[m]) + "," +
           shortest(r.pga_top[m]) + "\n";
  }
  const Sublayer& last = subs.back();
  const HalfSpace& h = profile.halfspace;
  out += std::to_string(subs.size() + 1) + ",halfspace," + len(last.top + last.thickness) + ",,," +
         shortest(h.unit_weight / wf) + "," + len(h.vs) + "," + len(h.vs) + ",1," +
         shortest(h.damping * 100.0) + ",,,," + shortest(r.pga_top.back()) + "\n";
  return out;
}

std::string format_iterations(const Result& r) {
  std::string out =
      "iteration,max_change_g_gmax,sublayer_g_gmax,max_change_damping,sublayer_damping,"
      "contraction,distance,status\n";
  for (std::size_t k = 0; k < r.rows.size(); ++k) {
    const IterationRow& row = r.rows[k];
    const bool last = k + 1 == r.rows.size();
    out += std::to_string(row.iteration) + "," + shortest(row.change_g) + "," +
           std::to_string(row.at_g + 1) + "," + shortest(row.change_d) + "," +
           std::to_string(row.at_d + 1) + "," +
           (row.contraction >= 0.0 ? shortest(row.contraction) : std::string()) + "," +
           (row.distance >= 0.0 ? shortest(row.distance) : std::string()) + "," +
           (!last         ? "continue"
            : r.converged ? "converged"
                          : "not converged") +
           "\n";
  }
  return out;
}

std::string format_transfer(const std::vector<std::complex<double>>& h, double df) {
  std::string out = "freq_hz,real,imag,modulus\n";
  for (std::size_t f = 0; f < h.size(); ++f) {
    out += shortest(df * static_cast<double>(f)) + "," + shortest(h[f].real()) + "," +
           shortest(h[f].imag()) + "," + shortest(std::hypot(h[f].real(), h[f].imag())) + "\n";
  }
  return out;
}

std::string format_spectra(const std::vector<float>& periods, const std::vector<float>& input,
                           const std::vector<float>& surface, const std::string& unit) {
  // The spectra are single precision: their shortest float text.
  auto text = [](float v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
  };
  const std::string u = record::column_unit(unit);
  std::string out = "period_s,psa_input_" + u + ",psa_surface_" + u + ",ratio\n";
  for (std::size_t k = 0; k < periods.size(); ++k) {
    const double a = static_cast<double>(input[k]), b = static_cast<double>(surface[k]);
    out += text(periods[k]) + "," + text(input[k]) + "," + text(surface[k]) + "," +
           (a > 0.0 ? shortest(b / a) : std::string("0")) + "\n";
  }
  return out;
}

}  // namespace korvo::column
