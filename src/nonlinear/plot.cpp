#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "nonlinear/site.h"
#include "text/text.h"

namespace korvo::nonlinear {

namespace {

using column::shortest;

std::string g6(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

// A gnuplot double-quoted string, where a line break is "\n": a backslash or a
// quote in a file name is escaped so that it stays text.
std::string quoted(const std::string& s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '\n') {
      q += "\\n";
      continue;
    }
    if (c == '\\' || c == '"') q += '\\';
    q += c;
  }
  return q + "\"";
}

std::string file_name(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  return one_line(name.empty() ? path : name);
}

}  // namespace

std::string plot_title(const column::SiteRequest& q, const SiteRun& r) {
  std::string t = file_name(q.record_name);
  if (r.scale != 1.0)
    t += " (scaled by " + g6(r.scale) + " to PGA " + g6(r.pga * r.scale) + " " +
         record::unit_name(q.record.unit) + ")";
  t += ", " + file_name(q.profile_name) + ", nonlinear (" +
       (r.options.unloading == Unloading::Mrdf ? "MRDF" : "Masing") +
       (r.options.viscous == Viscous::FrequencyIndependent ? ", frequency-independent damping"
                                                           : "") +
       ")";
  return t;
}

std::vector<std::string> plot_figures(const SiteRun& r) {
  std::vector<std::string> names = {"profile.png", "spectra.png"};
  if (!r.at.empty()) names.push_back("motions.png");
  if (!r.loops.empty()) names.push_back("loops.png");
  return names;
}

std::string plot_script(const column::SiteRequest& q, const SiteRun& r, const std::string& dir) {
  const column::Column& c = q.column;
  const std::string& lu = c.length_unit;
  const std::string unit = record::unit_name(q.record.unit);
  const std::string lc = record::column_unit(lu), uc = record::column_unit(unit);
  const std::string title = plot_title(q, r);
  auto in_dir = [&](const std::string& name) { return quoted(dir + "/" + name); };
  const column::Sublayer& last = r.subs.back();
  const double base = (last.top + last.thickness) / c.length_factor;
  const std::string bottom = shortest(base * 1.1);

  std::string s;
  const std::string terminal = "set terminal pngcairo noenhanced font ',11' size ";
  s += terminal + "2000,700\n";
  s += "set datafile separator ','\nset datafile columnheaders\n";
  s += "set output " + in_dir("profile.png") + "\n";
  s += "set multiplot layout 1,7 title " +
       quoted("Profile: peaks over the record, per element\n" + title) + "\n";
  s += "set yrange [" + bottom + ":0]\nset offsets 0, graph 0.05, 0, 0\n";
  s += "set grid\nset key off\nset xtics rotate by -40\n";
  s += "set ylabel 'depth (" + lu + ")'\n";
  // Layer boundaries on every panel, as profile.csv gives the tops.
  for (std::size_t m = 1; m < r.subs.size(); ++m)
    if (r.subs[m].layer != r.subs[m - 1].layer)
      s += "set arrow from graph 0, first " + shortest(r.subs[m].top / c.length_factor) +
           " to graph 1, first " + shortest(r.subs[m].top / c.length_factor) +
           " nohead dt 2 lw 1 lc rgb '#606060' back\n";
  s += "set arrow from graph 0, first " + shortest(base) + " to graph 1, first " + shortest(base) +
       " nohead dt 2 lw 1 lc rgb '#606060' back\n";
  const std::string data = in_dir("profile.csv");
  const std::string top = "column('top_" + lc + "')", low = "column('bottom_" + lc + "')";
  // Each element's value held from its top to its bottom, joined at the tops;
  // `a` carries the row above's value (the half-space row has none).
  auto steps = [&](const std::string& col) {
    const std::string v = "column('" + col + "')";
    return "a = NaN\nplot " + data + " using (" + v + "):(" + top + "):(0):(" + low + " - " + top +
           ") with vectors nohead lw 2 lc rgb '#1f4fbf', " + data + " using (x0 = a, a = " + v +
           ", x0):(" + top + "):(a - x0):(0) with vectors nohead lw 2 lc rgb '#1f4fbf'\n";
  };
  auto panel = [&](const std::string& label, const std::string& range, const std::string& col) {
    return "set xlabel " + quoted(label) + "\nset xrange " + range + "\n" + steps(col);
  };
  s += panel("Vs0 (" + lu + "/s)", "[0:*]", "vs0_" + lc + "_s");
  s += panel("peak shear strain (%)", "[0:1e-9<*]", "strain_peak_pct");
  s += panel("peak stress / vertical effective stress", "[0:1e-9<*]", "stress_ratio");
  s += panel("secant G/Gmax at the peak strain", "[0:1.05]", "g_gmax_secant");
  s += panel("loop damping at the peak strain (%)", "[0:1e-9<*]", "damping_peak_pct");
  // Node values, from the surface to the column's base (the half-space row).
  auto nodes = [&](const std::string& label, const std::string& col) {
    return "set xlabel " + quoted(label) + "\nset xrange [0:1e-9<*]\nplot " + data +
           " using (column('" + col + "')):(" + top +
           ") with linespoints lw 2 pt 7 ps 0.6 lc rgb '#009e73'\n";
  };
  s += nodes("peak acceleration (" + unit + ")", "pga_top_" + uc);
  const std::string du = q.record.unit == record::Unit::CmS2 ? "cm" : "m";
  s += nodes("peak displacement over the base (" + du + ")", "disp_peak_" + du);
  s += "unset multiplot\n";

  s += "reset\nset datafile separator ','\nset datafile columnheaders\n";
  s += terminal + "900,760\n";
  s += "set output " + in_dir("spectra.png") + "\n";
  s += "set multiplot layout 2,1 title " + quoted("5 % damped response spectra\n" + title) + "\n";
  s += "set grid\nset logscale x\nset xrange [0.01:10]\nset format x '%g'\nset key top right\n";
  s += "set xlabel 'period (s)'\nset ylabel 'PSA (" + unit + ")'\nset yrange [0:1e-9<*]\n";
  s += "plot " + in_dir("spectra.csv") +
       " using 1:2 with lines lw 2 title 'input', '' using 1:3 with lines lw 2 title 'surface'\n";
  s += "set ylabel 'surface / input'\nset key off\n";
  s += "plot " + in_dir("spectra.csv") + " using 1:4 with lines lw 2\n";
  s += "unset multiplot\n";

  if (!r.at.empty()) {
    // The surface and every --at motion, one panel each on one time axis and
    // one acceleration scale, so that panels compare by eye.
    std::vector<std::pair<std::string, std::string>> motions = {{"surface.csv", "surface"}};
    for (const Motion& m : r.at)
      motions.emplace_back(column::depth_file(m.depth), "depth " + shortest(m.depth) + " " + lu);
    const int n = static_cast<int>(motions.size());
    const int px = n <= 6 ? 170 : 140, height = 110 + n * px;
    auto screen = [&](int at) { return g6(static_cast<double>(at) / height); };
    s += "reset\nset datafile separator ','\nset datafile columnheaders\n";
    s += terminal + "1000," + std::to_string(height) + "\n";
    s += "set output " + in_dir("motions.png") + "\n";
    s += "A = 0\n";
    for (const auto& motion : motions) {
      s += "stats " + in_dir(motion.first) + " using 1:2 nooutput\n";
      s += "A = (-STATS_min_y > A ? -STATS_min_y : A); A = (STATS_max_y > A ? STATS_max_y : A)\n";
      s += "T = STATS_max_x\n";
    }
    s += "A = (A > 0 ? 1.1 * A : 1)\nT = (T > 0 ? T : 1)\n";
    s += "set multiplot layout " + std::to_string(n) + ",1 margins 0.1,0.97," + screen(50) + "," +
         screen(height - 60) + " spacing 0," + screen(30) + " title " +
         quoted("Acceleration at depth\n" + title) + "\n";
    s += "set xrange [0:T]\nset yrange [-A:A]\nset grid\nset key off\n";
    s += "set style textbox opaque noborder\n";
    s += "set ylabel 'acceleration (" + unit + ")'\n";
    for (int k = 0; k < n; ++k) {
      const auto& [file, label] = motions[static_cast<std::size_t>(k)];
      if (k + 1 == n) s += "set xlabel 'time (s)'\n";
      s += "stats " + in_dir(file) + " using 2 nooutput\n";
      s += "set label 1 sprintf(" + quoted(label + ", peak %.3g " + unit) +
           ", (-STATS_min > STATS_max ? -STATS_min : STATS_max)) at graph 0.01, graph 0.88 left "
           "front boxed\n";
      s += "plot " + in_dir(file) + " using 1:2 with lines lw 1 lc rgb '#1f4fbf'\n";
    }
    s += "unset multiplot\n";
  }

  if (r.loops.empty()) return s;
  // One panel per depth, three to a row.
  const std::size_t n = r.loops.size(), cols = std::min<std::size_t>(n, 3),
                    rows = (n + cols - 1) / cols;
  s += "reset\nset datafile separator ','\nset datafile columnheaders\n";
  s += terminal + std::to_string(520 * cols) + "," + std::to_string(140 + 440 * rows) + "\n";
  s += "set output " + in_dir("loops.png") + "\n";
  s += "set multiplot layout " + std::to_string(rows) + "," + std::to_string(cols) + " title " +
       quoted("Stress-strain loops\n" + title) + "\n";
  s += "set grid\nset key off\nset xlabel 'shear strain (%)'\nset ylabel 'shear stress (kPa)'\n";
  for (const LoopHistory& h : r.loops) {
    const Element& e = r.elements[h.element];
    s += "set title " +
         quoted("depth " + shortest(h.depth) + " " + lu + ": element " +
                std::to_string(h.element + 1) + ", layer " +
                one_line(c.layers[static_cast<std::size_t>(e.layer)].name)) +
         "\n";
    s += "plot " + in_dir(loops_file(h.depth)) + " using 2:3 with lines lw 1 lc rgb '#1f4fbf'\n";
  }
  s += "unset multiplot\n";
  return s;
}

}  // namespace korvo::nonlinear
