#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "column/site.h"
#include "text/text.h"

namespace korvo::column {

std::string plot_number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string plot_quoted(const std::string& s) {
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

std::string plot_file_name(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  return one_line(name.empty() ? path : name);
}

namespace {

std::string g6(double v) { return plot_number(v); }
std::string quoted(const std::string& s) { return plot_quoted(s); }
std::string file_name(const std::string& path) { return plot_file_name(path); }

}  // namespace

std::string plot_title(const SiteRequest& q, const SiteRun& r) {
  std::string t = file_name(q.record_name);
  // How the record was prepared, as the figure's reader must know to compare it.
  if (q.baseline >= 0) t += q.baseline == 0 ? ", mean removed" : ", trend removed";
  if (q.band_pass_hz.size() == 4)
    t += ", band-passed " + g6(q.band_pass_hz[1]) + "-" + g6(q.band_pass_hz[2]) + " Hz";
  if (r.scale != 1.0) {
    t += " (scaled by " + g6(r.scale) + " to PGA " + g6(r.pga * r.scale) + " " +
         record::unit_name(q.record.unit) + ")";
  }
  t += ", " + file_name(q.profile_name) + ", ";
  t += q.options.method == Method::Linear ? "linear"
       : q.frequency_dependent            ? "frequency-dependent equivalent-linear"
                                          : "equivalent-linear";
  return t;
}

std::vector<std::string> plot_figures(const SiteRun& r) {
  std::vector<std::string> names = {"profile.png", "spectra.png"};
  if (!r.at.empty()) names.push_back("motions.png");
  return names;
}

std::string plot_script(const SiteRequest& q, const SiteRun& r, const std::string& dir) {
  const Column& c = q.column;
  const std::string& lu = c.length_unit;
  const std::string unit = record::unit_name(q.record.unit);
  const std::string lc = record::column_unit(lu), uc = record::column_unit(unit);
  const std::string title = plot_title(q, r);
  const bool linear = q.options.method == Method::Linear;
  auto in_dir = [&](const std::string& name) { return quoted(dir + "/" + name); };
  // Depths as profile.csv writes them, so that a boundary falls exactly on a step.
  auto depth = [&](double m) { return shortest(m / c.length_factor); };
  const Sublayer& last = r.subs.back();
  const double halfspace_top = (last.top + last.thickness) / c.length_factor;
  // The half-space is drawn over a tenth of the column's depth below its top.
  const std::string bottom = shortest(halfspace_top * 1.1);

  std::string s;
  const std::string terminal = PLOT_TERMINAL;
  s += terminal + "1800,700\n";
  s += "set datafile separator ','\nset datafile columnheaders\n";
  s += "set output " + in_dir("profile.png") + "\n";
  s += "set multiplot layout 1,5 title " +
       quoted((linear ? "Profile, small-strain properties\n"
                      : "Profile, initial (small-strain) and final (strain-compatible)\n") +
              title) +
       "\n";
  // A little room right of the largest value, which would hide behind the frame.
  s += "set yrange [" + bottom + ":0]\nset offsets 0, graph 0.05, 0, 0\n";
  s += "set grid\nset key off\nset xtics rotate by -40\n";
  s += "set ylabel 'depth (" + lu + ")'\n";
  // Layer boundaries on every panel: the tops of the layers below the first
  // and of the half-space.
  auto boundary = [&](const std::string& z) {
    return "set arrow from graph 0, first " + z + " to graph 1, first " + z +
           " nohead dt 2 lw 1 lc rgb '#606060' back\n";
  };
  for (std::size_t m = 1; m < r.subs.size(); ++m)
    if (r.subs[m].layer != r.subs[m - 1].layer) s += boundary(depth(r.subs[m].top));
  s += boundary(shortest(halfspace_top));
  const std::string data = in_dir("profile.csv");
  const std::string top = "column('top_" + lc + "')";
  // Column 5 is the thickness; the half-space row has none.
  const std::string thick = "(valid(5) ? column(5) : " + bottom + " - " + top + ")";
  // Each row's value held over its thickness: vertical segments, joined by
  // horizontal ones at the tops. `var` carries the row above's value from row
  // to row, so each curve has its own.
  auto steps = [&](const std::string& col, const std::string& var, const std::string& style) {
    const std::string v = "column('" + col + "')";
    return data + " using (" + v + "):(" + top + "):(0):(" + thick + ") with vectors nohead " +
           style + " notitle, " + data + " using (x0 = " + var + ", " + var + " = " + v +
           ", x0):(" + top + "):(" + var + " - x0):(0) with vectors nohead " + style + " notitle";
  };
  const std::string line = "lw 2 lc rgb '#1f4fbf'";
  // Vs, and the layers' names beside their tops: the soil's on the right,
  // where its low velocities leave room, the half-space's on the left.
  s += "set xlabel 'Vs (" + lu + "/s), " +
       (linear ? std::string("small strain") : std::string("initial dashed, final solid")) +
       "'\nset xrange [0:*]\n";
  auto name_at = [&](const std::string& name, const std::string& z, bool right) {
    return "set label " + quoted(one_line(name)) + " at graph " + (right ? "0.97" : "0.03") +
           ", first " + z + (right ? " right" : " left") +
           " offset 0,-0.8 font ',9' tc rgb '#606060'\n";
  };
  // A name needs about 4 % of the panel's height: thinner layers go unnamed
  // rather than print over their neighbours.
  for (std::size_t m = 0, next = 0; m < r.subs.size(); m = next) {
    for (next = m + 1; next < r.subs.size() && r.subs[next].layer == r.subs[m].layer;) ++next;
    const Sublayer& end = r.subs[next - 1];
    const double thickness = (end.top + end.thickness - r.subs[m].top) / c.length_factor;
    if (thickness < 0.04 * 1.1 * halfspace_top) continue;
    s += name_at(c.layers[static_cast<std::size_t>(r.subs[m].layer)].name, depth(r.subs[m].top),
                 true);
  }
  s += name_at("half-space", shortest(halfspace_top), false);
  s += "a = NaN; b = NaN\nplot " +
       steps("vs0_" + lc + "_s", "a", linear ? line : "lw 2 dt 2 lc rgb '#808080'");
  if (!linear) s += ", " + steps("vs_" + lc + "_s", "b", line);
  s += "\n";
  s += "unset label\n";
  // An all-zero column (a quiet record) still gets a range: [0:1e-9<*].
  auto panel = [&](const std::string& label, const std::string& range, const std::string& col) {
    return "set xlabel '" + label + "'\nset xrange " + range + "\na = NaN\nplot " +
           steps(col, "a", line) + "\n";
  };
  s += panel("G/Gmax", "[0:1.05]", "g_gmax");
  s += panel("damping (%)", "[0:1e-9<*]", "damping_pct");
  s += panel("peak shear strain (%)", "[0:1e-9<*]", "strain_peak_pct");
  s += "set xlabel 'peak acceleration (" + unit + ")'\nset xrange [0:1e-9<*]\n";
  s += "plot " + data + " using (column('pga_top_" + uc + "')):(" + top +
       ") with linespoints lw 2 pt 7 ps 0.6 lc rgb '#009e73'\n";
  s += "unset multiplot\n";

  std::vector<double> depths;
  for (const DepthMotion& d : r.at) depths.push_back(d.depth);
  return s + plot_spectra_and_motions(dir, title, unit, depths, lu);
}

std::string plot_spectra_and_motions(const std::string& dir, const std::string& title,
                                     const std::string& unit, const std::vector<double>& depths,
                                     const std::string& lu) {
  const std::string terminal = PLOT_TERMINAL;
  auto in_dir = [&](const std::string& name) { return quoted(dir + "/" + name); };
  std::string s;
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

  if (depths.empty()) return s;
  // The surface and every --at motion, one panel each on one time axis and
  // one acceleration scale, so that panels compare by eye.
  std::vector<std::pair<std::string, std::string>> motions = {{"surface.csv", "surface"}};
  for (double depth : depths)
    motions.emplace_back(depth_file(depth), "depth " + shortest(depth) + " " + lu);
  const int n = static_cast<int>(motions.size());
  // Panels of equal height in pixels, with room for the title above and the
  // time axis's label below.
  const int px = n <= 6 ? 170 : 140, height = 110 + n * px;
  auto screen = [&](int px) { return g6(static_cast<double>(px) / height); };
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
  return s;
}

}  // namespace korvo::column
