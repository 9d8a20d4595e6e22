#include "nonlinear/site.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <limits>

#include "machine/machine.h"
#include "text/text.h"

namespace korvo::nonlinear {

namespace {

using column::finite;
using column::shortest;
using column::spectrum_of;

// Limits that keep a mistaken --max-element or an enormous record from
// exhausting memory before anything is computed.
constexpr long ELEMENTS_MAX = 20000;
constexpr double HISTORY_BYTES_MAX = 1024 * 1048576.0;
// About three quarters of an hour at the engine's 27 ns an element-step.
constexpr double ELEMENT_STEPS_MAX = 1e11;

std::string g6(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

double peak(const std::vector<double>& a) {
  double p = 0.0;
  for (double v : a) p = std::max(p, std::fabs(v));
  return p;
}

std::vector<float> psa(const spectra::Spectrum& s) {
  std::vector<float> out;
  for (const spectra::Response& r : s.rows) out.push_back(r.psa);
  return out;
}

std::vector<double> sorted_once(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

// The nodes' depths (m) summed as the engine sums them, so that a node asked
// for is met exactly.
std::vector<double> node_depths(const std::vector<Element>& elements) {
  std::vector<double> z(elements.size() + 1, 0.0);
  for (std::size_t i = 0; i < elements.size(); ++i) z[i + 1] = z[i] + elements[i].thickness;
  return z;
}

// The element that holds depth z (m): the one below an element boundary.
std::size_t element_at(const std::vector<double>& nodes, double z) {
  std::size_t i = 0;
  while (i + 2 < nodes.size() && nodes[i + 1] <= z) ++i;
  return i;
}

// Velocity and displacement from the engine's u*s and u*s^2 into cm/s and cm
// for a record in cm/s^2, else m/s and m.
struct Kinematics {
  double factor = 1.0;
  const char* velocity = "m/s";
  const char* displacement = "m";
};

Kinematics kinematics(record::Unit unit) {
  if (unit == record::Unit::CmS2) return {1.0, "cm/s", "cm"};
  return {record::unit_factor(unit, record::Unit::MS2), "m/s", "m"};
}

std::vector<double> times(std::vector<double> v, double f) {
  for (double& x : v) x *= f;
  return v;
}

}  // namespace

std::string loops_file(double depth) { return "loops_" + shortest(depth) + ".csv"; }

SiteRun run_site(const column::SiteRequest& q, const SiteOptions& so) {
  const column::Column& c = q.column;
  const double lf = c.length_factor;
  const std::string& lu = c.length_unit;
  SiteRun r;
  r.subs = column::divide(c, q.fmax);
  if (!(so.max_element != 0.0 && so.max_element <= 1e6))
    throw Error("the largest element's thickness must lie above 0, at most 1e6");
  const double cap = so.max_element < 0.0 ? 1.0 : so.max_element * lf;
  double count = 0.0;
  for (const column::Sublayer& sub : r.subs)
    count += std::max(1.0, std::ceil(sub.thickness / cap - 1e-9));
  if (count > static_cast<double>(ELEMENTS_MAX))
    throw Error("elements of at most " + shortest(cap / lf) + " " + lu + " cut the column into " +
                g6(count) + " elements; at most " + std::to_string(ELEMENTS_MAX) +
                ": a larger --max-element");
  if (so.viscous == Viscous::FrequencyIndependent && count > static_cast<double>(FI_NODES_MAX - 1))
    throw Error("frequency-independent damping takes at most " + std::to_string(FI_NODES_MAX - 1) +
                " elements (its matrix is full), not " + g6(count) + ": a larger --max-element");
  try {
    r.elements = mesh(r.subs, cap, so.unloading == Unloading::Mrdf);
  } catch (const Error& e) {
    // A curve no backbone fits: the profile's.
    throw Error(one_line(q.profile_name) + ": " + e.what());
  }
  column::PreparedRecord prepared = column::prepare_record(q);
  r.motion = std::move(prepared.motion);
  r.pga = prepared.pga;
  r.scale = prepared.scale;
  // The engine's work, element-steps, and the histories it keeps (three at
  // the surface and every depth asked for, two at every loop): refused
  // before any is spent.
  const double samples = static_cast<double>(r.motion.a.size());
  const double work = static_cast<double>(r.elements.size()) * std::max(samples - 1.0, 0.0) *
                      static_cast<double>(so.substeps);
  if (work > ELEMENT_STEPS_MAX)
    throw Error(std::to_string(r.elements.size()) + " elements over " +
                g6(std::max(samples - 1.0, 0.0)) + " samples at " + std::to_string(so.substeps) +
                " substeps are " + g6(work) + " element-steps; at most " + g6(ELEMENT_STEPS_MAX) +
                ": a larger --max-element, fewer --substeps or a shorter record");
  const double histories = static_cast<double>(3 * (1 + q.depths.size()) + 2 * so.loops.size()) *
                           samples * sizeof(double);
  if (histories > HISTORY_BYTES_MAX)
    throw Error("the motions at " + std::to_string(1 + q.depths.size()) + " depths and " +
                std::to_string(so.loops.size()) + " loops over " + g6(samples) +
                " samples would take " + g6(histories / 1048576.0) + " MB; at most " +
                g6(HISTORY_BYTES_MAX / 1048576.0) + " MB: fewer depths or a shorter record");

  const std::vector<double> nodes = node_depths(r.elements);
  const double height = nodes.back();
  const std::vector<double> depths = sorted_once(q.depths);
  const std::vector<double> loops = sorted_once(so.loops);
  auto inside = [&](double z, const char* what) {
    // A depth read back from a file may be a rounding below the base.
    if (!(z >= 0.0) || z * lf > height * (1.0 + 1e-9))
      throw Error(std::string(what) + " " + shortest(z) + " " + lu +
                  " lies below the column's base at " +
                  shortest((r.subs.back().top + r.subs.back().thickness) / lf) + " " + lu +
                  ": the nonlinear method has no motion in the half-space");
  };
  for (double z : depths) inside(z, "the depth");
  for (double z : loops) inside(z, "the loop depth");

  Options& o = r.options;
  o.substeps = so.substeps;
  o.viscous = so.viscous;
  o.f1 = so.f1;
  o.f2 = so.f2;
  o.strict = so.strict;
  o.unloading = so.unloading;
  o.base = q.options.input == column::InputKind::Within ? Base::Rigid : Base::Elastic;
  // The peak at every element's top; the motions at the depths asked for.
  o.peak_depths = nodes;
  for (double z : depths) o.depths.push_back(std::min(z * lf, height));
  for (double z : loops) o.loop_elements.push_back(static_cast<int>(element_at(nodes, z * lf)));

  // The input's spectrum waits on nothing the column computes: on a second
  // core while the engine runs, where there is one, and on that core alone.
  // (Its errors reach get().)
  r.periods = spectra::log_periods(0.01f, 10.0f, 100);
  const bool beside = second_thread_runs();
  const int home = current_core();
  std::future<spectra::Spectrum> input =
      std::async(beside ? std::launch::async : std::launch::deferred, [&r, beside, home] {
        if (beside) leave_core(home);
        return spectrum_of(r.motion.a, r.motion.dt, r.periods, false);
      });
  const auto start = std::chrono::steady_clock::now();
  try {
    r.result = run(r.elements, c.halfspace, r.motion, o);
  } catch (const Error& e) {
    // A response that overflowed or a step that did not converge: the record's.
    throw Error(q.record_name + ": " + e.what());
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const Result& res = r.result;
  const Kinematics k = kinematics(q.record.unit);
  r.pga_top = res.peak_at;
  r.surface = {0.0, res.surface, times(res.surface_velocity, k.factor),
               times(res.surface_displacement, k.factor)};
  for (std::size_t d = 0; d < depths.size(); ++d)
    r.at.push_back({depths[d], res.at[d], times(res.at_velocity[d], k.factor),
                    times(res.at_displacement[d], k.factor)});
  r.node_disp_peak = times(res.displacement_peak, k.factor);
  r.node_disp_residual = times(res.displacement_residual, k.factor);
  for (std::size_t l = 0; l < loops.size(); ++l)
    r.loops.push_back({loops[l], static_cast<std::size_t>(o.loop_elements[l]), res.loops[l].strain,
                       res.loops[l].stress});
  const Energy& en = res.energy;
  const double spent = en.kinetic + en.strain + en.hysteretic + en.viscous + en.radiation;
  r.energy_error = en.input > 0.0 ? (en.input - spent) / en.input : 0.0;
  for (const Element& e : r.elements)
    r.sigma_v.push_back(column::vertical_effective_stress(c, e.top + e.thickness / 2.0));
  r.small = column::small_strain(r.subs, c.halfspace);

  r.input = input.get();
  r.output = spectrum_of(res.surface, r.motion.dt, r.periods);

  // Nothing that is not finite is written: beyond single precision (the
  // spectra, which an infinite sample leaves at 0) or double (the response),
  // the run is refused.
  const double single = std::numeric_limits<float>::max();
  bool ok = peak(r.motion.a) <= single && peak(res.surface) <= single && finite(r.input) &&
            finite(r.output) && finite(r.pga_top) && finite(res.strain_peak) &&
            finite(res.stress_peak) && finite(res.secant_ratio) && finite(res.damping_at_peak) &&
            finite(r.node_disp_peak) && finite(r.node_disp_residual) &&
            std::isfinite(r.energy_error);
  for (const Motion* m : {&r.surface}) ok = ok && finite(m->a) && finite(m->v) && finite(m->d);
  for (const Motion& m : r.at) ok = ok && finite(m.a) && finite(m.v) && finite(m.d);
  for (const LoopHistory& h : r.loops) ok = ok && finite(h.strain) && finite(h.stress);
  if (!ok)
    throw Error(q.record_name +
                ": the response is not finite, or beyond single precision for its " +
                "spectra (peak " + g6(r.pga * r.scale) + " " + record::unit_name(q.record.unit) +
                "): are the record's values in its unit?");
  return r;
}

namespace {

std::string csv_text(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char ch : s) out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
  return out + "\"";
}

// Per element, its soil and its peaks; the motions' peaks at its top node.
// The last row is the half-space, with the motion at its top.
std::string format_profile(const column::SiteRequest& q, const SiteRun& r) {
  const column::Column& c = q.column;
  const std::string lu = record::column_unit(c.length_unit);
  const std::string unit = record::column_unit(record::unit_name(q.record.unit));
  const std::string du = record::column_unit(kinematics(q.record.unit).displacement);
  const double lf = c.length_factor;
  auto len = [&](double m) { return shortest(m / lf); };
  const Result& res = r.result;
  // Depths as the mesh cut them, so that the layers' boundaries read as the profile gives them.
  std::vector<double> nodes;
  for (const Element& e : r.elements) nodes.push_back(e.top);
  nodes.push_back(r.subs.back().top + r.subs.back().thickness);
  std::string out =
      "element,layer,top_" + lu + ",bottom_" + lu + ",vs0_" + lu +
      "_s,gmax_kpa,model,gamma_r_pct,s,tau_max_kpa,fit_error,strain_peak_pct,stress_peak_kpa,"
      "stress_ratio,g_gmax_secant,damping_peak_pct,mrdf_p1,mrdf_p2,mrdf_p3,"
      "damping_fit_error_pct,pga_top_" +
      unit + ",disp_peak_" + du + ",disp_residual_" + du + "\n";
  auto node = [&](std::size_t n) {
    return shortest(r.pga_top[n]) + "," + shortest(r.node_disp_peak[n]) + "," +
           shortest(r.node_disp_residual[n]) + "\n";
  };
  for (std::size_t i = 0; i < r.elements.size(); ++i) {
    const Element& e = r.elements[i];
    const column::Layer& layer = c.layers[static_cast<std::size_t>(e.layer)];
    const bool mkz = e.hysteretic && e.model == Model::Mkz;
    const bool gqh = e.hysteretic && e.model == Model::Gqh;
    // A fitted backbone: MKZ to a table, GQ/H to the layer's curve unless its theta are given.
    const bool fitted =
        (mkz && layer.model == column::Model::Table) || (gqh && layer.gqh_theta.empty());
    const bool mrdf = r.options.unloading == Unloading::Mrdf && e.hysteretic;
    out += std::to_string(i + 1) + "," + csv_text(layer.name) + "," + len(nodes[i]) + "," +
           len(nodes[i + 1]) + "," + len(std::sqrt(e.gmax / e.rho)) + "," + shortest(e.gmax) + "," +
           (mkz   ? "mkz"
            : gqh ? "gqh"
                  : "linear") +
           "," + (mkz ? shortest(e.gamma_r) + "," + shortest(e.s) : std::string(",")) + "," +
           (gqh ? shortest(e.tau_max) : std::string()) + "," +
           (fitted ? shortest(e.fit_error) : std::string()) + "," + shortest(res.strain_peak[i]) +
           "," + shortest(res.stress_peak[i]) + "," +
           (r.sigma_v[i] > 0.0 ? shortest(res.stress_peak[i] / r.sigma_v[i]) : std::string()) +
           "," + shortest(res.secant_ratio[i]) + "," + shortest(res.damping_at_peak[i] * 100.0) +
           "," +
           (mrdf ? shortest(e.p1) + "," + shortest(e.p2) + "," + shortest(e.p3) + "," +
                       shortest(e.damping_fit_error)
                 : std::string(",,,")) +
           "," + node(i);
  }
  out += std::to_string(r.elements.size() + 1) + ",halfspace," + len(nodes.back()) +
         ",,,,,,,,,,,,,,,,,," + node(r.elements.size());
  return out;
}

// Time, acceleration, velocity and displacement, as the record's time column is written.
std::string format_motion(const Motion& m, double dt, const std::string& unit,
                          const Kinematics& k) {
  const int decimals = record::time_decimals(dt);
  std::string out = "time_s,accel_" + record::column_unit(unit) + ",vel_" +
                    record::column_unit(k.velocity) + ",disp_" +
                    record::column_unit(k.displacement) + "\n";
  out.reserve(m.a.size() * 64);
  for (std::size_t i = 0; i < m.a.size(); ++i) {
    char t[64];
    std::snprintf(t, sizeof t, "%.*f", decimals, dt * static_cast<double>(i));
    out += std::string(t) + "," + shortest(m.a[i]) + "," + shortest(m.v[i]) + "," +
           shortest(m.d[i]) + "\n";
  }
  return out;
}

std::string format_loops(const LoopHistory& h, double dt) {
  const int d = record::time_decimals(dt);
  std::string out = "time_s,strain_pct,stress_kpa\n";
  for (std::size_t k = 0; k < h.strain.size(); ++k) {
    char t[64];
    std::snprintf(t, sizeof t, "%.*f", d, dt * static_cast<double>(k));
    out += std::string(t) + "," + shortest(h.strain[k]) + "," + shortest(h.stress[k]) + "\n";
  }
  return out;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> site_files(const column::SiteRequest& q,
                                                            const SiteRun& r) {
  const double dt = r.motion.dt;
  const std::string unit = record::unit_name(q.record.unit);
  std::vector<std::pair<std::string, std::string>> files;
  const Kinematics k = kinematics(q.record.unit);
  files.emplace_back("surface.csv", format_motion(r.surface, dt, unit, k));
  for (const Motion& m : r.at)
    files.emplace_back(column::depth_file(m.depth), format_motion(m, dt, unit, k));
  files.emplace_back("profile.csv", format_profile(q, r));
  for (const LoopHistory& h : r.loops) files.emplace_back(loops_file(h.depth), format_loops(h, dt));
  files.emplace_back("spectra.csv",
                     column::format_spectra(r.periods, psa(r.input), psa(r.output), unit));
  return files;
}

namespace {

// The soil of the column's elements: "MKZ backbones with Masing unloading",
// "MKZ and GQ/H backbones with ...", or that every element is linear.
std::string soil(const std::vector<Element>& elements, Unloading unloading) {
  bool mkz = false, gqh = false;
  for (const Element& e : elements) {
    mkz = mkz || (e.hysteretic && e.model == Model::Mkz);
    gqh = gqh || (e.hysteretic && e.model == Model::Gqh);
  }
  if (!mkz && !gqh) return "but every element is linear (no hysteresis)";
  return std::string(mkz && gqh ? "MKZ and GQ/H"
                     : mkz      ? "MKZ"
                                : "GQ/H") +
         " backbones with " + (unloading == Unloading::Mrdf ? "MRDF (non-Masing)" : "Masing") +
         " unloading";
}

}  // namespace

std::string site_summary(const column::SiteRequest& q, const SiteRun& r,
                         const std::string& folder) {
  const column::Column& c = q.column;
  const std::string& lu = c.length_unit;
  const double lf = c.length_factor;
  const std::string unit = record::unit_name(q.record.unit);
  const Result& res = r.result;
  const Options& o = r.options;
  double thickest = 0.0;
  for (const Element& e : r.elements) thickest = std::max(thickest, e.thickness);
  std::string out = c.converted.empty() ? std::string() : c.converted + "\n";
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "profile: %s, %zu layers in %zu sublayers, %zu elements (at most %s %s thick) "
                "over a half-space at %s %s (VS %s %s/s)\n",
                one_line(q.profile_name).c_str(), c.layers.size(), r.subs.size(), r.elements.size(),
                g6(thickest / lf).c_str(), lu.c_str(),
                g6((r.subs.back().top + r.subs.back().thickness) / lf).c_str(), lu.c_str(),
                g6(c.halfspace.vs / lf).c_str(), lu.c_str());
  out += buf;
  std::snprintf(
      buf, sizeof buf,
      "site: Vs30 %s m/s; fundamental frequency %s Hz (quarter wavelength); kappa0 %s s\n",
      g6(r.small.vs30).c_str(), g6(r.small.f0).c_str(), g6(r.small.kappa0).c_str());
  out += buf;
  std::string prepared;
  if (q.baseline >= 0) prepared += q.baseline == 0 ? ", mean removed" : ", linear trend removed";
  if (q.band_pass_hz.size() == 4)
    prepared += ", band-passed " + g6(q.band_pass_hz[0]) + "/" + g6(q.band_pass_hz[1]) + "-" +
                g6(q.band_pass_hz[2]) + "/" + g6(q.band_pass_hz[3]) + " Hz";
  if (r.scale != 1.0) prepared += " (scaled by " + g6(r.scale) + ")";
  std::snprintf(buf, sizeof buf, "record: %s, %zu samples, dt %s s, PGA %s %s%s; %s\n",
                one_line(q.record_name).c_str(), r.motion.a.size(), g6(r.motion.dt).c_str(),
                g6(r.pga * r.scale).c_str(), unit.c_str(), prepared.c_str(),
                o.base == Base::Rigid
                    ? "within motion at the column's base (rigid base)"
                    : "outcrop motion (elastic base: a dashpot of the half-space)");
  out += buf;
  const double steps = static_cast<double>(std::max(1L, res.steps));
  const std::string viscous =
      o.viscous == Viscous::FrequencyIndependent
          ? std::string("frequency-independent damping (every mode at its layers' damping)")
          : "Rayleigh damping exact at " + g6(res.f1) + " and " + g6(res.f2) + " Hz";
  std::snprintf(buf, sizeof buf, "method: nonlinear, %s; %s; %d substeps per sample\n",
                soil(r.elements, o.unloading).c_str(), viscous.c_str(), o.substeps);
  out += buf;
  std::snprintf(
      buf, sizeof buf,
      "steps: %ld, Newton solves %ld (%.3g per step), %ld not converged%s; %.3g s, "
      "%.3g ns per element-step\n",
      res.steps, res.iterations, static_cast<double>(res.iterations) / steps, res.unconverged,
      res.unconverged > 0 ? (" (the first at " + g6(res.first_unconverged) + " s)").c_str() : "",
      r.seconds, r.seconds * 1e9 / (steps * static_cast<double>(r.elements.size())));
  out += buf;
  const Energy& en = res.energy;
  std::snprintf(buf, sizeof buf,
                "energy: input %s kJ/m^2 = kinetic %s + strain %s + hysteretic %s + viscous %s + "
                "radiation %s; balance error %.2g of the input\n",
                g6(en.input).c_str(), g6(en.kinetic).c_str(), g6(en.strain).c_str(),
                g6(en.hysteretic).c_str(), g6(en.viscous).c_str(), g6(en.radiation).c_str(),
                std::fabs(r.energy_error));
  out += buf;
  std::size_t worst = 0;
  for (std::size_t i = 0; i < r.elements.size(); ++i)
    if (res.strain_peak[i] > res.strain_peak[worst]) worst = i;
  const Element& w = r.elements[worst];
  std::snprintf(buf, sizeof buf,
                "surface PGA %s %s; largest peak strain %s %% at %s %s (element %zu, layer %s)\n",
                g6(peak(res.surface)).c_str(), unit.c_str(), g6(res.strain_peak[worst]).c_str(),
                g6((w.top + w.thickness / 2.0) / lf).c_str(), lu.c_str(), worst + 1,
                quote(c.layers[static_cast<std::size_t>(w.layer)].name).c_str());
  out += buf;
  out += "wrote " + one_line(folder) + ": surface.csv";
  for (const Motion& m : r.at) out += ", " + column::depth_file(m.depth);
  out += ", profile.csv";
  for (const LoopHistory& h : r.loops) out += ", " + loops_file(h.depth);
  out += ", spectra.csv\n";
  return out;
}

std::vector<std::string> site_warnings(const column::SiteRequest& q, const SiteRun& r) {
  std::vector<std::string> out = column::column_warnings(q.column);
  const double g = r.pga * r.scale * record::unit_factor(q.record.unit, record::Unit::G);
  if (!q.record.unit_stated && g > 2.0)
    out.push_back("warning: " + one_line(q.record_name) + ": a peak of " + g6(g) +
                  " g with no unit stated: is the record in cm/s^2 or m/s^2 (--unit)?");
  std::size_t beyond_table = 0;
  for (std::size_t i = 0; i < r.elements.size(); ++i) {
    const Element& e = r.elements[i];
    const column::Layer& layer = q.column.layers[static_cast<std::size_t>(e.layer)];
    if (e.hysteretic && e.model == Model::Mkz && layer.model == column::Model::Table &&
        r.result.strain_peak[i] >
            q.column.curves[static_cast<std::size_t>(layer.curves)].modulus.strain_pct.back())
      ++beyond_table;
  }
  if (beyond_table > 0)
    out.push_back("warning: " + std::to_string(beyond_table) +
                  " elements reach peak strains beyond their curve table's last strain, where "
                  "the backbone fitted to the table is extrapolated");
  if (r.result.unconverged > 0)
    out.push_back("warning: " + std::to_string(r.result.unconverged) + " of " +
                  std::to_string(r.result.steps) + " time steps did not converge in " +
                  std::to_string(r.options.max_iter) + " Newton iterations, the first at " +
                  g6(r.result.first_unconverged) + " s; --strict refuses them");
  return out;
}

}  // namespace korvo::nonlinear
