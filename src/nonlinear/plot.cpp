#include <algorithm>

#include "nonlinear/site.h"
#include "text/text.h"

namespace korvo::nonlinear {

namespace {

using column::shortest;

std::string g6(double v) { return column::plot_number(v); }
std::string quoted(const std::string& s) { return column::plot_quoted(s); }
std::string file_name(const std::string& path) { return column::plot_file_name(path); }

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
  const std::string terminal = column::PLOT_TERMINAL;
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

  std::vector<double> depths;
  for (const Motion& m : r.at) depths.push_back(m.depth);
  s += column::plot_spectra_and_motions(dir, title, unit, depths, lu);

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
