#include "column/rvt_motion.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>

#include "column/rvt_site.h"
#include "motion/record.h"
#include "rvt/rvt.h"
#include "text/text.h"

namespace korvo::column {

namespace {

namespace col = korvo::column;
namespace rvt = korvo::rvt;

// A fault already named with its file and line: passed on as it is.
struct Located : korvo::Error {
  using korvo::Error::Error;
};
[[noreturn]] void fail(const std::string& what) { throw Located(what); }

std::string g6(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string pct(double fraction) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g %%", fraction * 100.0);
  return buf;
}

// A layer's name as a CSV field: quoted when it holds a comma, quote or newline.
std::string csv_text(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

long line_of(const toml::node& n) { return static_cast<long>(n.source().begin.line); }

// What the motion file asks for, read and checked.
struct MotionFile {
  rvt::Motion motion;
  std::string what;  // for the console: "point source M 6.5 at 31 km (fc ... Hz)"
  rvt::Method method;
  rvt::Grid grid;
  std::vector<double> periods;  // empty: the engine's 100 from 0.01 to 10 s
  double damping = 0.05;
  bool inverse = false;
  rvt::Target target;
  rvt::Compatible compatible;
  double tolerance = 0.01;
};

// One table of the file: its keys read by name, each fault one line naming
// the file, the line and the key.
class Table {
 public:
  Table(const toml::table& t, std::string file, std::string name, long line)
      : t_(t), file_(std::move(file)), name_(std::move(name)), line_(line) {}

  [[noreturn]] void bad(long line, const std::string& text) const {
    fail(korvo::where(file_, line) + ": " + (name_.empty() ? "" : name_ + ": ") + text);
  }
  [[noreturn]] void bad(const std::string& text) const { bad(line_, text); }

  // Refuses keys the table may not hold: a misspelt key would otherwise be
  // silently left at its default.
  void only(std::initializer_list<std::string_view> keys) const {
    for (const auto& [key, node] : t_)
      if (std::find(keys.begin(), keys.end(), key.str()) == keys.end())
        bad(line_of(node), "unknown key " + korvo::quote(key.str()));
  }
  bool has(std::string_view key) const { return t_.contains(key); }

  double number(std::string_view key, double fallback) const {
    const toml::node* n = t_.get(key);
    if (!n) return fallback;
    return value(*n, key);
  }
  double number(std::string_view key) const {
    if (!has(key)) bad(std::string(key) + " is missing");
    return number(key, 0.0);
  }
  bool flag(std::string_view key, bool fallback) const {
    const toml::node* n = t_.get(key);
    if (!n) return fallback;
    if (!n->is_boolean()) bad(line_of(*n), std::string(key) + " is true or false");
    return n->as_boolean()->get();
  }
  std::string text(std::string_view key, const std::string& fallback) const {
    const toml::node* n = t_.get(key);
    if (!n) return fallback;
    if (!n->is_string()) bad(line_of(*n), std::string(key) + " is a quoted word");
    return n->as_string()->get();
  }
  std::vector<double> numbers(std::string_view key) const {
    const toml::node* n = t_.get(key);
    if (!n) bad(std::string(key) + " is missing");
    const toml::array* a = n->as_array();
    if (!a) bad(line_of(*n), std::string(key) + " is a list of numbers, [1.0, 2.0]");
    std::vector<double> out;
    for (const toml::node& e : *a) out.push_back(value(e, key));
    return out;
  }
  // [[from, value], ...]: the pieces of a law in distance, or a table.
  std::vector<std::pair<double, double>> pairs(std::string_view key) const {
    const toml::node* n = t_.get(key);
    const toml::array* a = n ? n->as_array() : nullptr;
    if (n && !a) bad(line_of(*n), std::string(key) + " is a list of pairs, [[0, 1.0], [40, 0.5]]");
    std::vector<std::pair<double, double>> out;
    if (a)
      for (const toml::node& e : *a) {
        const toml::array* p = e.as_array();
        if (!p || p->size() != 2)
          bad(line_of(e), std::string(key) + " is a list of pairs, [[0, 1.0], [40, 0.5]]");
        out.emplace_back(value(*p->get(0), key), value(*p->get(1), key));
      }
    return out;
  }
  long line() const { return line_; }

 private:
  double value(const toml::node& n, std::string_view key) const {
    double v = 0.0;
    if (auto i = n.as_integer())
      v = static_cast<double>(i->get());
    else if (auto f = n.as_floating_point())
      v = f->get();
    else
      bad(line_of(n), std::string(key) + " is a number");
    if (!std::isfinite(v)) bad(line_of(n), std::string(key) + " is not finite");
    return v;
  }

  const toml::table& t_;
  std::string file_, name_;
  long line_;
};

std::vector<rvt::Piece> pieces(const std::vector<std::pair<double, double>>& p) {
  std::vector<rvt::Piece> out;
  for (const auto& [from, value] : p) out.push_back({from, value});
  return out;
}

rvt::PeakFactor peak_factor_of(const Table& top, const std::string& word) {
  rvt::PeakFactor f{};
  if (!rvt::peak_factor_from_keyword(word, f))
    top.bad(std::string("peak_factor is one of ") + rvt::peak_factor_keywords() + ", not " +
            korvo::quote(word));
  return f;
}

rvt::PointSource point_source_of(const Table& t) {
  t.only({"magnitude", "distance_km", "stress_drop", "velocity", "density", "radiation",
          "free_surface", "partition", "reference_km", "spreading", "q0", "eta", "q_velocity",
          "kappa", "amp_frequency", "amp_factor", "path_duration", "region"});
  rvt::PointSource p;
  // A region first; what the table gives besides overrides it.
  const std::string region = t.text("region", "");
  if (region == "wna")
    p = rvt::with_region(p, rvt::Region::WesternNorthAmerica);
  else if (region == "cena")
    p = rvt::with_region(p, rvt::Region::CentralEasternNorthAmerica);
  else if (!region.empty())
    t.bad("region is wna or cena, not " + korvo::quote(region));
  p.magnitude = t.number("magnitude");
  if (!(p.magnitude > -2.0 && p.magnitude < 10.0))
    t.bad("magnitude is between -2 and 10, not " + g6(p.magnitude));
  p.distance_km = t.number("distance_km");
  p.stress_drop = t.number("stress_drop", p.stress_drop);
  p.velocity = t.number("velocity", p.velocity);
  p.density = t.number("density", p.density);
  p.radiation = t.number("radiation", p.radiation);
  p.free_surface = t.number("free_surface", p.free_surface);
  p.partition = t.number("partition", p.partition);
  p.reference_km = t.number("reference_km", p.reference_km);
  if (t.has("spreading")) p.spreading = pieces(t.pairs("spreading"));
  p.q0 = t.number("q0", p.q0);
  p.eta = t.number("eta", p.eta);
  p.q_velocity = t.number("q_velocity", p.q_velocity);
  p.kappa = t.number("kappa", p.kappa);
  if (t.has("amp_frequency") || t.has("amp_factor")) {
    p.amp_frequency = t.numbers("amp_frequency");
    p.amp_factor = t.numbers("amp_factor");
  }
  if (t.has("path_duration")) p.path_duration = pieces(t.pairs("path_duration"));
  return p;
}

// The library's checks name the field; the report adds where the table is.
template <class F>
auto checked(const Table& t, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const Located&) {
    throw;
  } catch (const korvo::Error& e) {
    t.bad(e.what());
  }
}

MotionFile read_motion(const std::string& text, const std::string& name) {
  toml::table root;
  try {
    root = toml::parse(text, name);
  } catch (const toml::parse_error& e) {
    fail(korvo::where(name, static_cast<long>(e.source().begin.line)) + ": " +
         korvo::one_line(e.description().substr(0, 160)));
  }
  const Table top(root, name, "", 0);
  top.only({"peak_factor", "oscillator_duration", "bt_coefficients", "damping_pct", "periods",
            "grid", "point_source", "fas", "target"});
  auto table = [&](const char* key) -> const toml::table* {
    const toml::node* n = root.get(key);
    if (n && !n->is_table()) top.bad(line_of(*n), std::string("[") + key + "] is a table");
    return n ? n->as_table() : nullptr;
  };
  const toml::table* source = table("point_source");
  const toml::table* fas = table("fas");
  const toml::table* target = table("target");
  if ((source != nullptr) + (fas != nullptr) + (target != nullptr) != 1)
    top.bad("one of [point_source], [fas] or [target] makes the motion");

  MotionFile m;
  m.method.peak = peak_factor_of(top, top.text("peak_factor", "clh"));
  m.method.oscillator_duration = top.flag("oscillator_duration", true);
  if (top.has("bt_coefficients")) m.method.bt_coefficients = top.numbers("bt_coefficients");
  const bool bt = m.method.peak == rvt::PeakFactor::BooreThompson2012 ||
                  m.method.peak == rvt::PeakFactor::BooreThompson2015;
  if (bt && m.method.bt_coefficients.size() != 7)
    top.bad("peak_factor " + top.text("peak_factor", "") +
            " needs bt_coefficients, the seven c1..c7 of the scenario");
  m.damping = top.number("damping_pct", 5.0) / 100.0;
  if (!(m.damping > 0.0 && m.damping < 1.0))
    top.bad("damping_pct is between 0 and 100, not " + g6(m.damping * 100.0));
  if (top.has("periods")) {
    m.periods = top.numbers("periods");
    if (m.periods.empty()) top.bad("periods holds no period");
    for (double T : m.periods)
      if (!(T > 0.0)) top.bad("periods are positive (s), not " + g6(T));
  }
  if (const toml::table* g = table("grid")) {
    const Table t(*g, name, "[grid]", line_of(*g));
    t.only({"f_min", "f_max", "per_decade"});
    m.grid.f_min = t.number("f_min", m.grid.f_min);
    m.grid.f_max = t.number("f_max", m.grid.f_max);
    const double n = t.number("per_decade", m.grid.per_decade);
    if (n != std::floor(n) || !(n >= 1.0 && n <= 10000.0))
      t.bad("per_decade is a whole number from 1 to 10000, not " + g6(n));
    m.grid.per_decade = static_cast<int>(n);
    checked(t, [&] { return rvt::grid_frequencies(m.grid); });
  }

  if (source) {
    const Table t(*source, name, "[point_source]", line_of(*source));
    const rvt::PointSource p = point_source_of(t);
    m.motion = checked(t, [&] { return rvt::point_source(p, m.grid); });
    const std::string region = t.text("region", "");
    m.what = "point source" + (region.empty() ? std::string() : " (" + region + ")") + " M " +
             g6(p.magnitude) + " at " + g6(p.distance_km) + " km, " + g6(p.stress_drop) +
             " bar (fc " + g6(rvt::corner_frequency(p)) + " Hz)";
  } else if (fas) {
    const Table t(*fas, name, "[fas]", line_of(*fas));
    t.only({"frequency", "amplitude", "duration"});
    m.motion = checked(t, [&] {
      return rvt::table_motion(t.numbers("frequency"), t.numbers("amplitude"),
                               t.number("duration"));
    });
    m.what = "FAS table of " + std::to_string(m.motion.frequency.size()) + " frequencies " +
             g6(m.motion.frequency.front()) + "-" + g6(m.motion.frequency.back()) + " Hz";
  } else {
    const Table t(*target, name, "[target]", line_of(*target));
    t.only({"periods", "psa", "damping_pct", "duration", "magnitude", "distance_km",
            "tolerance_pct", "max_iter"});
    m.inverse = true;
    rvt::Target& q = m.target;
    q.periods = t.numbers("periods");
    q.psa = t.numbers("psa");
    q.damping = t.number("damping_pct", m.damping * 100.0) / 100.0;
    if (!(q.damping > 0.0 && q.damping < 1.0))
      t.bad("damping_pct is between 0 and 100, not " + g6(q.damping * 100.0));
    if (t.has("duration") == (t.has("magnitude") || t.has("distance_km")))
      t.bad("the duration: give duration (s), or magnitude and distance_km");
    if (t.has("duration")) {
      q.duration = t.number("duration");
    } else {
      rvt::PointSource p;
      p.magnitude = t.number("magnitude");
      p.distance_km = t.number("distance_km");
      if (!(p.magnitude > -2.0 && p.magnitude < 10.0))
        t.bad("magnitude is between -2 and 10, not " + g6(p.magnitude));
      q.duration = checked(t, [&] { return rvt::source_duration(p); });
    }
    rvt::CompatibleOptions o;
    o.method = m.method;
    o.grid = m.grid;
    o.tolerance = t.number("tolerance_pct", 1.0) / 100.0;
    const double n = t.number("max_iter", o.max_iter);
    if (n != std::floor(n) || !(n >= 1.0 && n <= 100000.0))
      t.bad("max_iter is a whole number from 1 to 100000, not " + g6(n));
    o.max_iter = static_cast<int>(n);
    m.tolerance = o.tolerance;
    m.compatible = checked(t, [&] { return rvt::compatible_motion(q, o); });
    m.motion = m.compatible.motion;
    m.what = "compatible with a target of " + std::to_string(q.periods.size()) + " periods " +
             g6(*std::min_element(q.periods.begin(), q.periods.end())) + "-" +
             g6(*std::max_element(q.periods.begin(), q.periods.end())) + " s";
  }
  return m;
}

std::string profile_csv(const col::Column& c, const std::vector<col::Sublayer>& subs,
                        const col::RvtSiteResult& r) {
  const std::string lu = korvo::record::column_unit(c.length_unit);
  const double lf = c.length_factor, wf = c.weight_factor;
  auto len = [&](double m) { return col::shortest(m / lf); };
  std::string out = "sublayer,layer,top_" + lu + ",mid_" + lu + ",thickness_" + lu +
                    ",unit_weight_" + korvo::record::column_unit(c.weight_unit) + ",vs0_" + lu +
                    "_s,vs_" + lu +
                    "_s,g_gmax,damping_pct,strain_eff_pct,strain_peak_pct,"
                    "stress_peak_kpa\n";
  for (std::size_t m = 0; m < subs.size(); ++m) {
    const col::Sublayer& s = subs[m];
    const col::Layer& layer = c.layers[static_cast<std::size_t>(s.layer)];
    const col::Props& P = r.props[m];
    out += std::to_string(m + 1) + "," + csv_text(layer.name) + "," + len(s.top) + "," +
           len(s.mid) + "," + len(s.thickness) + "," + col::shortest(layer.unit_weight / wf) + "," +
           len(s.vs0) + "," + len(s.vs0 * std::sqrt(P.g_ratio)) + "," + col::shortest(P.g_ratio) +
           "," + col::shortest(P.damping * 100.0) + "," + col::shortest(r.strain_eff[m]) + "," +
           col::shortest(r.strain_peak[m]) + "," + col::shortest(r.stress_peak[m]) + "\n";
  }
  const col::Sublayer& last = subs.back();
  const col::HalfSpace& h = c.halfspace;
  out += std::to_string(subs.size() + 1) + ",halfspace," + len(last.top + last.thickness) + ",,," +
         col::shortest(h.unit_weight / wf) + "," + len(h.vs) + "," + len(h.vs) + ",1," +
         col::shortest(h.damping * 100.0) + ",,,\n";
  return out;
}

std::vector<std::pair<std::string, std::string>> files_of(const col::Column& c,
                                                          const std::vector<col::Sublayer>& subs,
                                                          const col::RvtSiteResult& r,
                                                          const MotionFile& m) {
  using col::shortest;
  std::vector<std::pair<std::string, std::string>> files;
  std::string s = "period_s,psa_input_g,psa_surface_g,ratio\n";
  for (std::size_t k = 0; k < r.periods.size(); ++k)
    s += shortest(r.periods[k]) + "," + shortest(r.input_psa[k]) + "," +
         shortest(r.surface_psa[k]) + "," + shortest(r.amplification[k]) + "\n";
  files.emplace_back("spectra.csv", s);
  s = "freq_hz,fas_input_g_s,fas_surface_g_s\n";
  for (std::size_t i = 0; i < r.frequency.size(); ++i)
    s += shortest(r.frequency[i]) + "," + shortest(r.input_fas[i]) + "," +
         shortest(r.surface_fas[i]) + "\n";
  files.emplace_back("fas.csv", s);
  s = "freq_hz,real,imag,modulus\n";
  for (std::size_t i = 0; i < r.frequency.size(); ++i)
    s += shortest(r.frequency[i]) + "," + shortest(r.transfer[i].real()) + "," +
         shortest(r.transfer[i].imag()) + "," + shortest(std::abs(r.transfer[i])) + "\n";
  files.emplace_back("transfer.csv", s);
  files.emplace_back("profile.csv", profile_csv(c, subs, r));
  col::Result rows;
  rows.rows = r.rows;
  rows.converged = r.converged;
  files.emplace_back("iterations.csv", col::format_iterations(rows));
  if (m.inverse) {
    s = "period_s,psa_target_g,psa_input_g,misfit_pct\n";
    for (std::size_t k = 0; k < m.target.periods.size(); ++k)
      s += shortest(m.target.periods[k]) + "," + shortest(m.target.psa[k]) + "," +
           shortest(m.compatible.psa[k]) + "," + shortest(m.compatible.misfit[k] * 100.0) + "\n";
    files.emplace_back("target.csv", s);
  }
  return files;
}

}  // namespace

RvtMotionRun run_rvt_motion(const SiteRequest& q, const std::string& profile_name,
                            const std::string& profile_text, const std::string& soil_unit,
                            const std::string& motion_name, const std::string& motion_text,
                            const std::string& folder) {
  RvtMotionRun out;
  const col::Column column =
      col::read_profile(profile_text, profile_name, soil_unit, "--soil-unit");
  out.warnings = col::column_warnings(column);
  out.column_warnings = out.warnings.size();
  const MotionFile m = read_motion(motion_text, motion_name);
  if (m.inverse && !m.compatible.converged) {
    std::size_t worst = 0;
    for (std::size_t k = 0; k < m.compatible.misfit.size(); ++k)
      if (std::abs(m.compatible.misfit[k]) > std::abs(m.compatible.misfit[worst])) worst = k;
    out.warnings.push_back("warning: " + motion_name + ": inverse RVT not converged after " +
                           std::to_string(m.compatible.iterations) + " iterations: misfit " +
                           pct(m.compatible.misfit[worst]) + " at " + g6(m.target.periods[worst]) +
                           " s (tolerance " + pct(m.tolerance) +
                           "; target.csv lists every period)");
  }

  const std::vector<col::Sublayer> subs = col::divide(column, q.fmax);
  col::RvtSiteOptions o;
  o.column = q.options;
  o.peaks = m.method;
  o.grid = m.grid;
  o.periods = m.periods;
  o.damping = m.damping;
  const col::RvtSiteResult r = col::rvt_site(subs, column.halfspace, m.motion, o);

  std::size_t worst = 0, beyond = 0;
  for (std::size_t k = 0; k < subs.size(); ++k) {
    if (r.strain_peak[k] > r.strain_peak[worst]) worst = k;
    if (r.strain_eff[k] > q.strain_limit) ++beyond;
  }
  if (beyond > 0)
    out.warnings.push_back("warning: effective strain above " + g6(q.strain_limit) + " % in " +
                           std::to_string(beyond) +
                           " sublayers (profile.csv): beyond what equivalent-linear "
                           "properties represent well");
  out.files = files_of(column, subs, r, m);
  const std::string& lu = column.length_unit;
  const col::Sublayer& last = subs.back();
  std::string& s = out.summary;
  s = column.converted.empty() ? std::string() : column.converted + "\n";
  s += "profile: " + korvo::one_line(profile_name) + ", " + std::to_string(column.layers.size()) +
       " layers in " + std::to_string(subs.size()) + " sublayers over a half-space at " +
       g6((last.top + last.thickness) / column.length_factor) + " " + lu + " (VS " +
       g6(column.halfspace.vs / column.length_factor) + " " + lu + "/s)\n";
  s += "motion: " + korvo::one_line(motion_name) + ", " + m.what + "; duration " +
       g6(m.motion.duration) + " s; " +
       (q.options.input == col::InputKind::Within ? "within (top of the half-space)"
                                                  : "outcrop (half-space)") +
       "\n";
  s += std::string("rvt: ") + rvt::peak_factor_name(m.method.peak) + " peak factor, " +
       g6(m.damping * 100.0) + " % damped spectra, grid " + g6(m.grid.f_min) + "-" +
       g6(m.grid.f_max) + " Hz at " + std::to_string(m.grid.per_decade) + " a decade (" +
       std::to_string(r.frequency.size()) + " frequencies)\n";
  if (m.inverse) {
    double largest = 0.0;
    for (double e : m.compatible.misfit) largest = std::max(largest, std::abs(e));
    s += std::string("inverse RVT: ") + (m.compatible.converged ? "converged" : "NOT converged") +
         " after " + std::to_string(m.compatible.iterations) + " iterations, largest misfit " +
         pct(largest) + " (tolerance " + pct(m.tolerance) + ")\n";
  }
  if (q.options.method == col::Method::Linear) {
    s += "method: linear, the small-strain properties (no iteration)\n";
  } else {
    const col::IterationRow& row = r.rows.back();
    s += "iterations: " + std::to_string(r.iterations) + " (" +
         (q.options.accelerate ? "Anderson mixing" : "plain") + "), " +
         (r.converged ? "converged" : "NOT converged") + ": G/Gmax and damping " +
         (row.distance >= 0.0 ? "within " + pct(row.distance) : "an unknown distance") +
         " of the fixed point (--tol " + g6(q.options.tol) + ")\n";
  }
  s += "input PGA " + g6(r.input_pga) + " g, surface PGA " + g6(r.surface_pga) +
       " g; largest peak strain " + g6(r.strain_peak[worst]) + " % at " +
       g6(subs[worst].mid / column.length_factor) + " " + lu + " (sublayer " +
       std::to_string(worst + 1) + " of layer " +
       korvo::quote(column.layers[static_cast<std::size_t>(subs[worst].layer)].name) + ")\n";
  s += "wrote " + korvo::one_line(folder) + ":";
  for (std::size_t k = 0; k < out.files.size(); ++k) s += (k ? ", " : " ") + out.files[k].first;
  s += "\n";
  return out;
}

}  // namespace korvo::column
