// korvo.site(method="nonlinear")'s compiled part: one nonlinear site run (what
// korvo-site --method nonlinear computes), its arrays and its result files' texts.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "nonlinear/site.h"
#include "options.h"
#include "text/text.h"

namespace py = pybind11;

namespace {

namespace col = korvo::column;
namespace nl = korvo::nonlinear;
using korvo::Error;

struct NonlinearSite {
  col::SiteRequest request;
  nl::SiteRun run;
};

template <class T>
py::array_t<T> to_numpy(const std::vector<T>& v) {
  py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  return out;
}

// As korvo.site's `site`, with the nonlinear settings in `settings`: keys
// substeps, max_element (< 0: the default), f1, f2, loops, unloading ("masing"
// or "mrdf"), viscous ("rayleigh" or "frequency-independent"; both checked by
// the caller) and strict.
std::unique_ptr<NonlinearSite> nonlinear_site(const py::object& profile,
                                              const py::object& record_path,
                                              const py::object& accel, double dt,
                                              const std::string& unit, const std::string& scale_pga,
                                              double fmax, const std::vector<double>& depths,
                                              const py::dict& options, const py::dict& settings) {
  auto s = std::make_unique<NonlinearSite>();
  col::SiteRequest& q = s->request;
  q.fmax = fmax;
  q.depths = depths;
  // A profile file, or a column built in memory (korvo.Column's core).
  const bool built = py::isinstance<col::Column>(profile);
  if (built) q.column = profile.cast<const col::Column&>();
  q.profile_name = built ? q.column.source : profile.cast<std::string>();
  const std::string input = options["input"].cast<std::string>();
  if (input != "outcrop" && input != "within")
    throw Error("input is 'outcrop' or 'within', not " + korvo::quote(input));
  q.options.input = input == "within" ? col::InputKind::Within : col::InputKind::Outcrop;
  korvo::python::record_options(q, options);
  const std::string soil_unit =
      options.contains("soil_unit") ? options["soil_unit"].cast<std::string>() : std::string();
  nl::SiteOptions o;
  o.substeps = settings["substeps"].cast<int>();
  o.max_element = settings["max_element"].cast<double>();
  o.f1 = settings["f1"].cast<double>();
  o.f2 = settings["f2"].cast<double>();
  o.loops = settings["loops"].cast<std::vector<double>>();
  o.strict = settings["strict"].cast<bool>();
  o.unloading = settings["unloading"].cast<std::string>() == "mrdf" ? nl::Unloading::Mrdf
                                                                    : nl::Unloading::Masing;
  if (settings["viscous"].cast<std::string>() == "frequency-independent")
    o.viscous = nl::Viscous::FrequencyIndependent;
  std::vector<double> a;
  if (record_path.is_none()) a = accel.cast<std::vector<double>>();
  const std::string path = record_path.is_none() ? std::string() : record_path.cast<std::string>();
  {
    py::gil_scoped_release unlocked;
    korvo::python::read_request(q, built ? std::string() : q.profile_name, path, std::move(a), dt,
                                unit, scale_pga, soil_unit);
    s->run = nl::run_site(q, o);
  }
  return s;
}

}  // namespace

void bind_nonlinear(py::module_& m) {
  using S = NonlinearSite;
  py::class_<S>(m, "NonlinearSite")
      .def_property_readonly("surface", [](const S& s) { return to_numpy(s.run.result.surface); })
      .def_property_readonly("dt", [](const S& s) { return s.run.motion.dt; })
      .def_property_readonly("input", [](const S& s) { return to_numpy(s.run.motion.a); })
      .def_property_readonly(
          "unit", [](const S& s) { return korvo::record::unit_name(s.request.record.unit); })
      .def_property_readonly("scale", [](const S& s) { return s.run.scale; })
      .def_property_readonly("velocity", [](const S& s) { return to_numpy(s.run.surface.v); })
      .def_property_readonly("displacement", [](const S& s) { return to_numpy(s.run.surface.d); })
      // Each depth with the name of its file, whose header names the units.
      .def_property_readonly(
          "at",
          [](const S& s) {
            py::list out;
            for (const nl::Motion& m : s.run.at)
              out.append(py::make_tuple(m.depth, col::depth_file(m.depth), to_numpy(m.a),
                                        to_numpy(m.v), to_numpy(m.d)));
            return out;
          })
      .def_property_readonly("energy",
                             [](const S& s) {
                               const nl::Energy& e = s.run.result.energy;
                               py::dict d;
                               d["input"] = e.input;
                               d["kinetic"] = e.kinetic;
                               d["strain"] = e.strain;
                               d["hysteretic"] = e.hysteretic;
                               d["viscous"] = e.viscous;
                               d["radiation"] = e.radiation;
                               return d;
                             })
      .def_property_readonly(
          "loops",
          [](const S& s) {
            py::list out;
            for (const nl::LoopHistory& h : s.run.loops)
              out.append(py::make_tuple(h.depth, to_numpy(h.strain), to_numpy(h.stress)));
            return out;
          })
      .def_property_readonly("steps", [](const S& s) { return s.run.result.steps; })
      .def_property_readonly("newton_solves", [](const S& s) { return s.run.result.iterations; })
      .def_property_readonly("unconverged", [](const S& s) { return s.run.result.unconverged; })
      .def_property_readonly(
          "rayleigh", [](const S& s) { return py::make_tuple(s.run.result.f1, s.run.result.f2); })
      .def_property_readonly("seconds", [](const S& s) { return s.run.seconds; })
      .def_property_readonly("vs30", [](const S& s) { return s.run.small.vs30; })
      .def_property_readonly("f0", [](const S& s) { return s.run.small.f0; })
      .def_property_readonly("kappa0", [](const S& s) { return s.run.small.kappa0; })
      .def_property_readonly("periods",
                             [](const S& s) {
                               std::vector<double> p(s.run.periods.begin(), s.run.periods.end());
                               return to_numpy(p);
                             })
      .def_property_readonly("psa",
                             [](const S& s) {
                               std::vector<double> in, out;
                               for (const auto& r : s.run.input.rows) in.push_back(r.psa);
                               for (const auto& r : s.run.output.rows) out.push_back(r.psa);
                               return py::make_tuple(to_numpy(in), to_numpy(out));
                             })
      .def("files", [](const S& s) { return nl::site_files(s.request, s.run); })
      .def("summary",
           [](const S& s, const std::string& folder) {
             return nl::site_summary(s.request, s.run, folder);
           })
      .def("warnings", [](const S& s) { return nl::site_warnings(s.request, s.run); });
  m.def("nonlinear_site", &nonlinear_site, py::arg("profile"), py::arg("record_path"),
        py::arg("accel"), py::arg("dt"), py::arg("unit"), py::arg("scale_pga"), py::arg("fmax"),
        py::arg("depths"), py::arg("options"), py::arg("settings"));
}
