// korvo.rvt's compiled part: random-vibration-theory motions (a point
// source's FAS or a table, with a duration), their peaks, and the layered
// column's RVT site response. Python checks the arguments' types; this part
// converts, and the engines' checks stay the ones that refuse values.
#include "rvt/rvt.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <complex>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "column/column.h"
#include "column/rvt_site.h"
#include "options.h"
#include "text/text.h"

namespace py = pybind11;

namespace {

namespace col = korvo::column;
namespace rvt = korvo::rvt;
using korvo::Error;
using Pairs = std::vector<std::pair<double, double>>;

template <class T>
py::array_t<T> to_numpy(const std::vector<T>& v) {
  py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  return out;
}

std::vector<rvt::Piece> pieces(const Pairs& p) {
  std::vector<rvt::Piece> out;
  for (const auto& [from, value] : p) out.push_back({from, value});
  return out;
}

// The keys are korvo.rvt.PointSource's keywords, all present (Python fills
// the defaults in).
rvt::PointSource source_of(const py::dict& d) {
  rvt::PointSource p;
  p.magnitude = d["magnitude"].cast<double>();
  p.distance_km = d["distance"].cast<double>();
  p.stress_drop = d["stress_drop"].cast<double>();
  p.velocity = d["velocity"].cast<double>();
  p.density = d["density"].cast<double>();
  p.radiation = d["radiation"].cast<double>();
  p.free_surface = d["free_surface"].cast<double>();
  p.partition = d["partition"].cast<double>();
  p.reference_km = d["reference_km"].cast<double>();
  p.spreading = pieces(d["spreading"].cast<Pairs>());
  p.q0 = d["q0"].cast<double>();
  p.eta = d["eta"].cast<double>();
  p.q_velocity = d["q_velocity"].cast<double>();
  p.kappa = d["kappa"].cast<double>();
  p.amp_frequency = d["amp_frequency"].cast<std::vector<double>>();
  p.amp_factor = d["amp_factor"].cast<std::vector<double>>();
  p.path_duration = pieces(d["path_duration"].cast<Pairs>());
  return p;
}

rvt::Grid grid_of(const std::tuple<double, double, int>& g) {
  return {std::get<0>(g), std::get<1>(g), std::get<2>(g)};
}

rvt::Method method_of(const std::string& peak_factor, bool oscillator_duration,
                      const std::vector<double>& bt_coefficients) {
  rvt::Method m;
  m.oscillator_duration = oscillator_duration;
  m.bt_coefficients = bt_coefficients;
  if (rvt::peak_factor_from_keyword(peak_factor, m.peak)) return m;
  throw Error("peak_factor is not one of korvo.rvt's peak factors: " + korvo::quote(peak_factor));
}

// The point source's FAS on the grid, its duration, corner frequency and moment.
py::dict point_source(const py::dict& source, const std::tuple<double, double, int>& grid) {
  const rvt::PointSource p = source_of(source);
  rvt::Motion m;
  double fc = 0.0;
  {
    py::gil_scoped_release unlocked;
    m = rvt::point_source(p, grid_of(grid));
    fc = rvt::corner_frequency(p);
  }
  py::dict out;
  out["frequency"] = to_numpy(m.frequency);
  out["amplitude"] = to_numpy(m.amplitude);
  out["duration"] = m.duration;
  out["corner_frequency"] = fc;
  out["moment"] = rvt::seismic_moment(p.magnitude);
  return out;
}

py::array_t<double> source_fas(const py::dict& source, const std::vector<double>& frequency) {
  const rvt::PointSource p = source_of(source);
  std::vector<double> a(frequency.size());
  {
    py::gil_scoped_release unlocked;
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = rvt::fas(p, frequency[i]);
  }
  return to_numpy(a);
}

// PSA (g) at `periods`, PGA (g) and PGV (cm/s) of a motion; an empty
// `periods` gives an empty PSA.
py::dict peaks(std::vector<double> frequency, std::vector<double> amplitude, double duration,
               const std::vector<double>& periods, double damping, const std::string& peak_factor,
               bool oscillator_duration, const std::vector<double>& bt_coefficients,
               const std::tuple<double, double, int>& grid) {
  const rvt::Method method = method_of(peak_factor, oscillator_duration, bt_coefficients);
  std::vector<double> sa;
  double a = 0.0, v = 0.0;
  {
    py::gil_scoped_release unlocked;
    const rvt::Motion m = rvt::table_motion(std::move(frequency), std::move(amplitude), duration);
    const rvt::Prepared q = rvt::prepare(m, grid_of(grid));
    if (!periods.empty()) sa = rvt::psa(q, periods, damping, method);
    a = rvt::pga(q, method);
    v = rvt::pgv(q, method);
  }
  py::dict out;
  out["psa"] = to_numpy(sa);
  out["pga"] = a;
  out["pgv"] = v;
  return out;
}

// The column of `profile` (a TOML file) divided for `fmax` under the motion;
// the layer table in the profile's length unit.
py::dict site(const py::object& profile, std::vector<double> frequency,
              std::vector<double> amplitude, double duration, double fmax,
              const std::vector<double>& periods, double damping, const std::string& peak_factor,
              bool oscillator_duration, const std::vector<double>& bt_coefficients,
              const std::tuple<double, double, int>& grid, const py::dict& options) {
  col::RvtSiteOptions o;
  o.column = korvo::python::column_options(options);
  o.peaks = method_of(peak_factor, oscillator_duration, bt_coefficients);
  o.grid = grid_of(grid);
  o.periods = periods;
  o.damping = damping;
  // A profile file, or a column already read (korvo.Column's core).
  col::Column c;
  const bool file = py::isinstance<py::str>(profile);
  const std::string path = file ? profile.cast<std::string>() : std::string();
  if (!file) c = profile.cast<col::Column>();
  std::vector<col::Sublayer> subs;
  col::RvtSiteResult r;
  {
    py::gil_scoped_release unlocked;
    const rvt::Motion m = rvt::table_motion(std::move(frequency), std::move(amplitude), duration);
    if (file) c = col::read_column(korvo::python::whole_file(path), path);
    subs = col::divide(c, fmax);
    r = col::rvt_site(subs, c.halfspace, m, o);
  }
  const double lf = c.length_factor;
  std::vector<std::string> layer;
  std::vector<double> top, mid, thick, vs0, vs, g, d;
  for (std::size_t k = 0; k < subs.size(); ++k) {
    const col::Sublayer& s = subs[k];
    layer.push_back(c.layers[static_cast<std::size_t>(s.layer)].name);
    top.push_back(s.top / lf);
    mid.push_back(s.mid / lf);
    thick.push_back(s.thickness / lf);
    vs0.push_back(s.vs0 / lf);
    vs.push_back(s.vs0 * std::sqrt(r.props[k].g_ratio) / lf);
    g.push_back(r.props[k].g_ratio);
    d.push_back(r.props[k].damping * 100.0);
  }
  py::dict out;
  out["length_unit"] = c.length_unit;
  out["layer"] = layer;
  out["top"] = to_numpy(top);
  out["mid"] = to_numpy(mid);
  out["thickness"] = to_numpy(thick);
  out["vs0"] = to_numpy(vs0);
  out["vs"] = to_numpy(vs);
  out["g_gmax"] = to_numpy(g);
  out["damping_pct"] = to_numpy(d);
  out["strain_eff_pct"] = to_numpy(r.strain_eff);
  out["strain_peak_pct"] = to_numpy(r.strain_peak);
  out["stress_peak_kpa"] = to_numpy(r.stress_peak);
  out["converged"] = r.converged;
  out["iterations"] = r.iterations;
  out["duration"] = r.duration;
  out["frequency"] = to_numpy(r.frequency);
  out["input_fas"] = to_numpy(r.input_fas);
  out["surface_fas"] = to_numpy(r.surface_fas);
  out["transfer"] = to_numpy(r.transfer);
  out["periods"] = to_numpy(r.periods);
  out["psa_input"] = to_numpy(r.input_psa);
  out["psa_surface"] = to_numpy(r.surface_psa);
  out["amplification"] = to_numpy(r.amplification);
  out["pga_input"] = r.input_pga;
  out["pga_surface"] = r.surface_pga;
  return out;
}

// A region's crust, path and site as PointSource keywords.
py::dict region(const std::string& name) {
  if (name != "wna" && name != "cena")
    throw Error("region is 'wna' or 'cena', not " + korvo::quote(name));
  const rvt::PointSource p =
      rvt::with_region({}, name == "wna" ? rvt::Region::WesternNorthAmerica
                                         : rvt::Region::CentralEasternNorthAmerica);
  auto pairs = [](const std::vector<rvt::Piece>& v) {
    Pairs out;
    for (const rvt::Piece& x : v) out.emplace_back(x.from_km, x.value);
    return out;
  };
  py::dict out;
  out["velocity"] = p.velocity;
  out["density"] = p.density;
  out["spreading"] = pairs(p.spreading);
  out["q0"] = p.q0;
  out["eta"] = p.eta;
  out["q_velocity"] = p.q_velocity;
  out["kappa"] = p.kappa;
  out["amp_frequency"] = p.amp_frequency;
  out["amp_factor"] = p.amp_factor;
  out["path_duration"] = pairs(p.path_duration);
  return out;
}

// Inverse RVT: the FAS on the grid and the back-computed PSA, misfit,
// iterations and whether every period came within the tolerance.
py::dict compatible(const std::vector<double>& periods, const std::vector<double>& psa,
                    double damping, double duration, double tolerance, int max_iter,
                    const std::string& peak_factor, bool oscillator_duration,
                    const std::vector<double>& bt_coefficients,
                    const std::tuple<double, double, int>& grid) {
  rvt::CompatibleOptions o;
  o.method = method_of(peak_factor, oscillator_duration, bt_coefficients);
  o.grid = grid_of(grid);
  o.tolerance = tolerance;
  o.max_iter = max_iter;
  rvt::Compatible c;
  {
    py::gil_scoped_release unlocked;
    c = rvt::compatible_motion({periods, psa, damping, duration}, o);
  }
  py::dict out;
  out["frequency"] = to_numpy(c.motion.frequency);
  out["amplitude"] = to_numpy(c.motion.amplitude);
  out["psa"] = to_numpy(c.psa);
  out["misfit"] = to_numpy(c.misfit);
  out["iterations"] = c.iterations;
  out["converged"] = c.converged;
  return out;
}

}  // namespace

void bind_rvt(py::module_& m) {
  m.def("rvt_point_source", &point_source, py::arg("source"), py::arg("grid"));
  m.def("rvt_source_fas", &source_fas, py::arg("source"), py::arg("frequency"));
  m.def("rvt_peaks", &peaks, py::arg("frequency"), py::arg("amplitude"), py::arg("duration"),
        py::arg("periods"), py::arg("damping"), py::arg("peak_factor"),
        py::arg("oscillator_duration"), py::arg("bt_coefficients"), py::arg("grid"));
  m.def("rvt_region", &region, py::arg("name"));
  m.def("rvt_compatible", &compatible, py::arg("periods"), py::arg("psa"), py::arg("damping"),
        py::arg("duration"), py::arg("tolerance"), py::arg("max_iter"), py::arg("peak_factor"),
        py::arg("oscillator_duration"), py::arg("bt_coefficients"), py::arg("grid"));
  m.def("rvt_site", &site, py::arg("profile"), py::arg("frequency"), py::arg("amplitude"),
        py::arg("duration"), py::arg("fmax"), py::arg("periods"), py::arg("damping"),
        py::arg("peak_factor"), py::arg("oscillator_duration"), py::arg("bt_coefficients"),
        py::arg("grid"), py::arg("options"));
}
