#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "eql.h"

namespace korvo::eql {

namespace {

std::string quoted(std::string_view field) {
  std::string q(1, '\'');
  q += field;
  q += '\'';
  return q;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == ','; }

// One number; false when the field is not one. Values too small for a double
// read as zero (or a subnormal); values too large are not numbers.
bool read_number(std::string_view field, double& v) {
  if (!field.empty() && field.front() == '+') field.remove_prefix(1);
  if (field.empty()) return false;
  const auto r = std::from_chars(field.data(), field.data() + field.size(), v);
  if (r.ptr != field.data() + field.size()) return false;
  if (r.ec == std::errc::result_out_of_range) {
    // from_chars reports underflow and overflow alike; strtod tells them apart.
    const std::string copy(field);
    errno = 0;
    v = std::strtod(copy.c_str(), nullptr);
    return std::isfinite(v);
  }
  return r.ec == std::errc() && std::isfinite(v);
}

// Fewest decimals (at most 9) that write dt exactly enough to read back.
int time_decimals(double dt) {
  for (int d = 0; d < 9; ++d) {
    const double s = dt * std::pow(10.0, d);
    if (std::fabs(s - std::round(s)) <= 1e-9 * s) return d;
  }
  return 9;
}

std::string fixed(double x, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
  return buf;
}

}  // namespace

Motion read_pairs(std::string_view text, std::string_view name) {
  std::vector<double> t, a;
  std::vector<long> lines;
  long line = 0;
  auto fail = [&](const std::string& what) -> void {
    throw EqlError(std::string(name) + ":" + std::to_string(line) + ": " + what);
  };
  while (!text.empty()) {
    ++line;
    const auto end = text.find('\n');
    std::string_view row = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (const auto hash = row.find('#'); hash != std::string_view::npos) row = row.substr(0, hash);
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < row.size()) {
      while (i < row.size() && blank(row[i])) ++i;
      const std::size_t start = i;
      while (i < row.size() && !blank(row[i])) ++i;
      if (i > start) fields.push_back(row.substr(start, i - start));
    }
    if (fields.empty()) continue;
    if (fields.size() != 2)
      fail("expected `time acceleration`, found " + std::to_string(fields.size()) + " fields");
    double tv = 0.0, av = 0.0;
    if (!read_number(fields[0], tv)) fail(quoted(fields[0]) + " is not a time");
    if (!read_number(fields[1], av)) fail(quoted(fields[1]) + " is not an acceleration");
    t.push_back(tv);
    a.push_back(av);
    lines.push_back(line);
  }
  if (a.size() < 2)
    throw EqlError(std::string(name) + ": fewer than two `time acceleration` lines");
  const double dt = (t.back() - t.front()) / static_cast<double>(t.size() - 1);
  if (!(dt > 0.0)) throw EqlError(std::string(name) + ": times do not increase");
  for (std::size_t k = 0; k < t.size(); ++k) {
    const double want = t.front() + dt * static_cast<double>(k);
    if (std::fabs(t[k] - want) > dt / 4.0) {
      line = lines[k];
      fail("time " + detail::shortest(t[k]) + " is off the even grid of step " +
           detail::shortest(dt) + " (expected " + detail::shortest(want) + ")");
    }
  }
  Motion m;
  m.a = std::move(a);
  m.dt = dt;
  return m;
}

std::string format_history(const std::vector<double>& a, double dt) {
  const int d = time_decimals(dt);
  std::string out;
  out.reserve(a.size() * 28);
  for (std::size_t k = 0; k < a.size(); ++k) {
    out += fixed(dt * static_cast<double>(k), d);
    out += ' ';
    out += detail::shortest(a[k]);
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

std::string format_profile(const Profile& profile, const std::vector<Sublayer>& subs,
                           const Result& r, const std::string& unit) {
  const std::string& lu = profile.length_unit;
  const double lf = profile.length_factor, wf = profile.weight_factor;
  auto len = [&](double m) { return detail::shortest(m / lf); };
  std::string out =
      "sublayer,layer,top_" + lu + ",mid_" + lu + ",thickness_" + lu + ",unit_weight_" +
      profile.weight_unit + ",vs0_" + lu + "/s,vs_" + lu +
      "/s,g_gmax,damping_pct,strain_eff_pct,strain_peak_pct,stress_peak_kpa,pga_top_" + unit + "\n";
  for (std::size_t m = 0; m < subs.size(); ++m) {
    const Sublayer& s = subs[m];
    const Layer& layer = profile.layers[static_cast<std::size_t>(s.layer)];
    const Props& P = r.props[m];
    out += std::to_string(m + 1) + "," + csv_text(layer.name) + "," + len(s.top) + "," +
           len(s.mid) + "," + len(s.thickness) + "," + detail::shortest(layer.unit_weight / wf) +
           "," + len(s.vs0) + "," + len(s.vs0 * std::sqrt(P.g_ratio)) + "," +
           detail::shortest(P.g_ratio) + "," + detail::shortest(P.damping * 100.0) + "," +
           detail::shortest(r.strain_eff[m]) + "," + detail::shortest(r.strain_peak[m]) + "," +
           detail::shortest(r.stress_peak[m]) + "," + detail::shortest(r.pga_top[m]) + "\n";
  }
  const Sublayer& last = subs.back();
  const HalfSpace& h = profile.halfspace;
  out += std::to_string(subs.size() + 1) + ",halfspace," + len(last.top + last.thickness) + ",,," +
         detail::shortest(h.unit_weight / wf) + "," + len(h.vs) + "," + len(h.vs) + ",1," +
         detail::shortest(h.damping * 100.0) + ",,,," + detail::shortest(r.pga_top.back()) + "\n";
  return out;
}

std::string format_iterations(const Result& r) {
  std::string out =
      "iteration,max_change_g,sublayer_g,max_change_damping,sublayer_damping,contraction,"
      "distance,status\n";
  for (std::size_t k = 0; k < r.rows.size(); ++k) {
    const IterationRow& row = r.rows[k];
    const bool last = k + 1 == r.rows.size();
    out += std::to_string(row.iteration) + "," + detail::shortest(row.change_g) + "," +
           std::to_string(row.at_g + 1) + "," + detail::shortest(row.change_d) + "," +
           std::to_string(row.at_d + 1) + "," +
           (row.contraction >= 0.0 ? detail::shortest(row.contraction) : std::string()) + "," +
           (row.distance >= 0.0 ? detail::shortest(row.distance) : std::string()) + "," +
           (!last         ? "continue"
            : r.converged ? "converged"
                          : "not converged") +
           "\n";
  }
  return out;
}

std::string format_transfer(const std::vector<Complex>& h, double df, bool within) {
  std::string out = std::string("# surface over ") + (within ? "within" : "outcrop") +
                    " input motion: frequency_hz real imag modulus\n";
  for (std::size_t f = 0; f < h.size(); ++f) {
    out += detail::shortest(df * static_cast<double>(f)) + " " + detail::shortest(h[f].re) + " " +
           detail::shortest(h[f].im) + " " + detail::shortest(std::hypot(h[f].re, h[f].im)) + "\n";
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
  std::string out = "# 5 % damped pseudo-spectral acceleration (" + unit +
                    "): period_s psa_input psa_surface ratio\n";
  for (std::size_t k = 0; k < periods.size(); ++k) {
    const double a = static_cast<double>(input[k]), b = static_cast<double>(surface[k]);
    out += text(periods[k]) + " " + text(input[k]) + " " + text(surface[k]) + " " +
           (a > 0.0 ? detail::shortest(b / a) : std::string("0")) + "\n";
  }
  return out;
}

std::string plot_script(const std::string& dir, const Profile& profile, const std::string& unit) {
  const std::string& lu = profile.length_unit;
  const std::string data = "'" + dir + "/profile.csv'";
  const std::string top = "column('top_" + lu + "')", thick = "column('thickness_" + lu + "')";
  std::string s;
  s += "set terminal pngcairo size 1500,650 font ',11'\n";
  s += "set datafile separator ','\nset datafile columnheaders\n";
  s += "set output '" + dir + "/profile.png'\n";
  s += "set multiplot layout 1,4 title 'Equivalent-linear profile: final state'\n";
  s += "set yrange [*:*] reverse\nset grid\nset key off\nset xtics rotate by -40\n";
  s += "set ylabel 'depth (" + lu + ")'\n";
  // Each sublayer's value held over its thickness: vertical segments, joined
  // by horizontal ones at the tops (the half-space row has no thickness).
  auto steps = [&](const std::string& col) {
    const std::string v = "column('" + col + "')";
    return "x_prev = NaN\nplot " + data + " using (" + v + "):(" + top + "):(0):(" + thick +
           ") with vectors nohead lw 2 lc 1, " + data +
           " using (x0 = x_prev, x_prev = (strcol(2) eq 'halfspace' ? NaN : " + v + "), x0):(" +
           top + "):(x_prev - x0):(0) with vectors nohead lw 2 lc 1\n";
  };
  s += "set xlabel 'G/Gmax'\nset xrange [0:1.05]\n" + steps("g_gmax");
  s += "set xlabel 'damping (%)'\nset xrange [0:*]\n" + steps("damping_pct");
  s += "set xlabel 'peak shear strain (%)'\nset xrange [0:*]\n" + steps("strain_peak_pct");
  s += "set xlabel 'peak acceleration (" + unit + ")'\nset xrange [0:*]\n";
  s += "plot " + data + " using (column('pga_top_" + unit + "')):(" + top +
       ") with linespoints lw 2 pt 7 ps 0.6 lc 2\n";
  s += "unset multiplot\n";
  s += "reset\nset datafile separator whitespace\n";
  s += "set terminal pngcairo size 900,700 font ',11'\n";
  s += "set output '" + dir + "/spectra.png'\n";
  s += "set multiplot layout 2,1 title '5 % damped response spectra'\n";
  s += "set grid\nset logscale x\nset xrange [0.01:10]\nset key top right\n";
  s += "set xlabel 'period (s)'\nset ylabel 'PSA (" + unit + ")'\n";
  s += "plot '" + dir +
       "/spectra.txt' using 1:2 with lines lw 2 title 'input', '' using 1:3 with lines lw 2 title "
       "'surface'\n";
  s += "set ylabel 'surface / input'\nset key off\n";
  s += "plot '" + dir + "/spectra.txt' using 1:4 with lines lw 2\n";
  s += "unset multiplot\n";
  return s;
}

}  // namespace korvo::eql
