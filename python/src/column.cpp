// korvo.Column's compiled part: a column built from its TOML text (which
// korvo.Column writes from arrays) or read from a profile file, what the
// engine makes of it at small strains, its sublayers' curves, and one
// response of a record through it, light enough for a suite's many runs.
#include "column/column.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "column/fdeql.h"
#include "column/site.h"
#include "motion/record.h"
#include "nonlinear/site.h"
#include "options.h"
#include "text/text.h"

namespace py = pybind11;

namespace {

namespace col = korvo::column;
using korvo::Error;

template <class T>
py::array_t<T> to_numpy(const std::vector<T>& v) {
  py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  return out;
}

col::Column from_file(const std::string& path, const std::string& soil_unit) {
  std::string text;
  {
    py::gil_scoped_release unlocked;
    text = korvo::python::whole_file(path);
  }
  return col::read_profile(text, path, soil_unit, "soil_unit");
}

const char* model_name(const col::Column& c, const col::Layer& l) {
  if (l.model == col::Model::Darendeli) return "darendeli";
  if (l.model == col::Model::Linear) return "linear";
  return c.curves[static_cast<std::size_t>(l.curves)].name.c_str();
}

// The column in its own units (lengths and unit weights as the file gives
// them, damping in %), keyed as the TOML profile is.
py::dict data(const col::Column& c) {
  const double L = c.length_factor, W = c.weight_factor;
  py::list layers;
  for (const col::Layer& l : c.layers) {
    py::dict d;
    d["name"] = l.name;
    d["thickness"] = l.thickness / L;
    d["unit_weight"] = l.unit_weight / W;
    d["vs"] = l.vs / L;
    d["model"] = model_name(c, l);
    if (l.sublayers > 0) d["sublayers"] = l.sublayers;
    if (l.model == col::Model::Darendeli) {
      d["plasticity_index"] = l.darendeli.pi;
      d["ocr"] = l.darendeli.ocr;
      d["k0"] = l.darendeli.k0;
      d["frequency"] = l.darendeli.frequency;
      d["cycles"] = l.darendeli.cycles;
      if (l.darendeli.dmin >= 0.0) d["min_damping_pct"] = l.darendeli.dmin * 100.0;
    } else if (l.model == col::Model::Linear) {
      d["damping_pct"] = l.damping * 100.0;
    }
    layers.append(d);
  }
  py::dict curves;
  for (const col::CurveSet& s : c.curves) {
    std::vector<double> dp(s.damping.value.size());
    for (std::size_t k = 0; k < dp.size(); ++k) dp[k] = s.damping.value[k] * 100.0;
    curves[py::str(s.name)] =
        py::make_tuple(py::make_tuple(to_numpy(s.modulus.strain_pct), to_numpy(s.modulus.value)),
                       py::make_tuple(to_numpy(s.damping.strain_pct), to_numpy(dp)));
  }
  py::dict out;
  out["layers"] = layers;
  out["curves"] = curves;
  out["halfspace"] = py::dict(py::arg("unit_weight") = c.halfspace.unit_weight / W,
                              py::arg("vs") = c.halfspace.vs / L,
                              py::arg("damping_pct") = c.halfspace.damping * 100.0);
  out["water_table"] = c.water_table / L;
  out["length_unit"] = c.length_unit;
  out["weight_unit"] = c.weight_unit;
  out["converted"] = c.converted;
  return out;
}

// Sublayers at fmax, lengths in the column's unit: layer (0-based), top,
// thickness, vs0 (unit/s); and G/Gmax and damping (%) at each strain (%).
py::dict sublayers(const col::Column& c, double fmax, const std::vector<double>& strains) {
  const std::vector<col::Sublayer> subs = col::divide(c, fmax);
  const std::size_t n = subs.size(), m = strains.size();
  std::vector<int> layer(n);
  std::vector<double> top(n), thickness(n), vs(n);
  py::array_t<double> g({n, m}), d({n, m});
  auto G = g.mutable_unchecked<2>();
  auto D = d.mutable_unchecked<2>();
  for (std::size_t i = 0; i < n; ++i) {
    const col::Sublayer& s = subs[i];
    layer[i] = s.layer;
    top[i] = s.top / c.length_factor;
    thickness[i] = s.thickness / c.length_factor;
    vs[i] = s.vs0 / c.length_factor;
    for (std::size_t k = 0; k < m; ++k) {
      const col::Props p = col::soil_props(s.soil, strains[k]);
      G(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(k)) = p.g_ratio;
      D(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(k)) = p.damping * 100.0;
    }
  }
  py::dict out;
  out["layer"] = to_numpy(layer);
  out["top"] = to_numpy(top);
  out["thickness"] = to_numpy(thickness);
  out["vs"] = to_numpy(vs);
  out["modulus"] = g;
  out["damping_pct"] = d;
  return out;
}

py::tuple small_strain(const col::Column& c, double fmax) {
  const col::SmallStrain s = col::small_strain(col::divide(c, fmax), c.halfspace);
  return py::make_tuple(s.vs30, s.f0, s.kappa0);
}

// One record through the column by the nonlinear method, as korvo-site
// --method nonlinear runs it: the same keys as `response`, per element.
py::dict nonlinear_response(const col::Column& c,
                            const py::array_t<double, py::array::c_style>& accel, double dt,
                            double to_si, double fmax, const py::dict& options) {
  namespace nl = korvo::nonlinear;
  namespace rec = korvo::record;
  col::SiteRequest q;
  q.column = c;
  q.profile_name = c.source;
  q.record_name = "record";
  q.fmax = fmax;
  q.record.a.assign(accel.data(), accel.data() + accel.size());
  q.record.dt = dt;
  q.record.unit = to_si == 1.0 ? rec::Unit::MS2 : to_si == 0.01 ? rec::Unit::CmS2 : rec::Unit::G;
  q.record.unit_stated = true;
  const std::string input = options["input"].cast<std::string>();
  q.options.input = input == "within" ? col::InputKind::Within : col::InputKind::Outcrop;
  nl::SiteOptions o;
  if (options.contains("substeps")) o.substeps = options["substeps"].cast<int>();
  if (options.contains("max_element")) o.max_element = options["max_element"].cast<double>();
  if (options.contains("viscous") &&
      options["viscous"].cast<std::string>() == "frequency-independent")
    o.viscous = nl::Viscous::FrequencyIndependent;
  if (options.contains("unloading"))
    o.unloading = options["unloading"].cast<std::string>() == "mrdf" ? nl::Unloading::Mrdf
                                                                     : nl::Unloading::Masing;
  nl::SiteRun r;
  {
    py::gil_scoped_release unlocked;
    r = nl::run_site(q, o);
  }
  const std::size_t E = r.elements.size();
  std::vector<double> top(E + 1);
  double z = 0.0;
  for (std::size_t i = 0; i < E; ++i) {
    top[i] = z / c.length_factor;
    z += r.elements[i].thickness;
  }
  top.back() = z / c.length_factor;
  py::dict out;
  out["surface"] = to_numpy(r.surface.a);
  out["top"] = to_numpy(top);  // each element's, then the base's
  out["strain_peak"] = to_numpy(r.result.strain_peak);
  out["pga_top"] = to_numpy(r.pga_top);
  out["modulus"] = to_numpy(r.result.secant_ratio);
  std::vector<double> d(r.result.damping_at_peak);
  for (double& x : d) x *= 100.0;
  out["damping_pct"] = to_numpy(d);
  out["converged"] = r.result.unconverged == 0;
  out["iterations"] = static_cast<long>(r.result.iterations);
  return out;
}

// One record through the column, as korvo-site runs it but with nothing
// else: the surface motion and the final state, depths in the column's unit.
py::dict response(const col::Column& c, const py::array_t<double, py::array::c_style>& accel,
                  double dt, double to_si, double fmax, const py::dict& options) {
  if (options["method"].cast<std::string>() == "nonlinear")
    return nonlinear_response(c, accel, dt, to_si, fmax, options);
  const col::Options opt = korvo::python::column_options(options);
  col::Motion motion;
  motion.a.assign(accel.data(), accel.data() + accel.size());
  motion.dt = dt;
  motion.to_si = to_si;
  std::vector<col::Sublayer> subs;
  col::Result res;
  std::vector<double> surface;
  {
    py::gil_scoped_release unlocked;
    subs = col::divide(c, fmax);
    if (options["method"].cast<std::string>() == "fdeql") {
      col::FdOptions fo;
      fo.column = opt;
      col::FdResult fd = col::fd_eql(subs, c.halfspace, motion, fo);
      // Each sublayer's properties up to its mean frequency, as korvo-site reports them.
      for (std::size_t m = 0; m < subs.size(); ++m) res.props.push_back(fd.props[m][1]);
      res.strain_peak = std::move(fd.strain_peak);
      res.strain_eff = std::move(fd.strain_eff);
      res.pga_top = std::move(fd.pga_top);
      res.converged = fd.converged;
      res.iterations = static_cast<int>(fd.rows.size());
      surface = std::move(fd.surface);
    } else {
      col::Analysis analysis(subs, c.halfspace, motion, opt);
      res = analysis.run();
      surface = analysis.surface();
    }
  }
  for (double v : surface)
    if (!std::isfinite(v))
      throw Error(
          "the response is not finite: are the record's values in "
          "its unit?");
  std::vector<double> top(subs.size() + 1), g(subs.size()), d(subs.size());
  for (std::size_t i = 0; i < subs.size(); ++i) {
    top[i] = subs[i].top / c.length_factor;
    g[i] = res.props[i].g_ratio;
    d[i] = res.props[i].damping * 100.0;
  }
  top.back() = (subs.back().top + subs.back().thickness) / c.length_factor;
  py::dict out;
  out["surface"] = to_numpy(surface);
  out["top"] = to_numpy(top);  // each sublayer's, then the half-space's
  out["strain_peak"] = to_numpy(res.strain_peak);
  out["strain_eff"] = to_numpy(res.strain_eff);
  out["pga_top"] = to_numpy(res.pga_top);
  out["modulus"] = to_numpy(g);
  out["damping_pct"] = to_numpy(d);
  out["converged"] = res.converged;
  out["iterations"] = res.iterations;
  return out;
}

}  // namespace

void bind_column(py::module_& m) {
  py::class_<col::Column>(m, "ColumnCore")
      .def("data", &data)
      .def("sublayers", &sublayers, py::arg("fmax"), py::arg("strains"))
      .def("small_strain", &small_strain, py::arg("fmax"))
      .def("warnings", [](const col::Column& c) { return col::column_warnings(c); });
  m.def(
      "column_toml",
      [](const std::string& text, const std::string& name) { return col::read_column(text, name); },
      py::arg("text"), py::arg("name"));
  m.def("column_file", &from_file, py::arg("path"), py::arg("soil_unit"));
  m.def("column_response", &response, py::arg("column"), py::arg("accel"), py::arg("dt"),
        py::arg("to_si"), py::arg("fmax"), py::arg("options"));
}
