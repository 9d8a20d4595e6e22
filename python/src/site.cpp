// korvo.site's compiled part: one site run of the column engine (what
// korvo-site computes), with its arrays, its result files' texts and the
// motions and strains at any depth afterwards.
#include "column/site.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "options.h"
#include "text/text.h"

namespace py = pybind11;

namespace {

namespace col = korvo::column;
namespace rec = korvo::record;
using korvo::Error;

struct Site {
  col::SiteRequest request;
  col::SiteRun run;
  std::mutex queries;  // the engine's depth queries reuse its work arrays
};

template <class T>
py::array_t<T> to_numpy(const std::vector<T>& v) {
  py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  return out;
}

rec::Unit unit_of(const std::string& text, const char* argument) {
  rec::Unit u{};
  if (!rec::parse_unit(text, u))
    throw Error(std::string(argument) + " is one of 'g', 'cm/s^2', 'm/s^2', not " +
                korvo::quote(text));
  return u;
}

}  // namespace

std::string korvo::python::whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error("cannot open " + korvo::one_line(path));
  // Read whole, as korvo-site reads it: a larger file is refused first.
  constexpr std::uintmax_t INPUT_MAX = 512ULL << 20;
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (!ec && size > INPUT_MAX)
    throw Error(korvo::one_line(path) + " holds " + std::to_string(size >> 20) +
                " MB; an input may hold 512 MB at most");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw Error("cannot read " + korvo::one_line(path));
  return text;
}

void korvo::python::read_request(col::SiteRequest& q, const std::string& profile,
                                 const std::string& path, std::vector<double> a, double dt,
                                 const std::string& unit, const std::string& scale_pga,
                                 const std::string& soil_unit) {
  // An empty profile: the caller has put a column built in memory in q.
  if (!profile.empty()) {
    q.profile_name = profile;
    q.column = col::read_profile(whole_file(profile), profile, soil_unit, "soil_unit");
  }
  if (!path.empty()) {
    q.record_name = path;
    q.record = rec::read_accelerogram(whole_file(path), path);
    if (q.record.layout == rec::Layout::Pairs && !q.record.unit_stated) {
      q.record.unit = unit.empty() ? rec::Unit::G : unit_of(unit, "unit");
      q.record.unit_stated = !unit.empty();
    } else if (!unit.empty() && unit_of(unit, "unit") != q.record.unit) {
      throw Error("unit " + korvo::quote(unit) + " is for pairs files without a unit; " +
                  korvo::one_line(path) + " is in " + rec::unit_name(q.record.unit));
    }
  } else {
    q.record_name = "record";
    q.record.a = std::move(a);
    q.record.dt = dt;
    q.record.unit = unit.empty() ? rec::Unit::G : unit_of(unit, "unit");
    q.record.unit_stated = !unit.empty();
  }
  if (!scale_pga.empty()) q.target_pga = rec::parse_peak(scale_pga, q.record.unit);
}

namespace {

// The profile from its file (a path) or a column built in memory; the motion from a file (any
// layout) or from accelerations and dt. Everything else as korvo-site's options.
std::unique_ptr<Site> site(const py::object& profile, const py::object& record_path,
                           const py::object& accel, double dt, const std::string& unit,
                           const std::string& scale_pga, double fmax,
                           const std::vector<double>& depths, const py::dict& options) {
  auto s = std::make_unique<Site>();
  col::SiteRequest& q = s->request;
  q.options = korvo::python::column_options(options);
  q.frequency_dependent = options["method"].cast<std::string>() == "fdeql";
  q.fmax = fmax;
  q.depths = depths;
  const bool built = py::isinstance<col::Column>(profile);
  if (built) q.column = profile.cast<const col::Column&>();
  q.profile_name = built ? q.column.source : profile.cast<std::string>();
  korvo::python::record_options(q, options);
  const std::string soil_unit =
      options.contains("soil_unit") ? options["soil_unit"].cast<std::string>() : std::string();
  std::vector<double> a;
  if (record_path.is_none()) a = accel.cast<std::vector<double>>();
  std::string path = record_path.is_none() ? std::string() : record_path.cast<std::string>();
  {
    py::gil_scoped_release unlocked;
    korvo::python::read_request(q, built ? std::string() : q.profile_name, path, std::move(a), dt,
                                unit, scale_pga, soil_unit);
    s->run = col::run_site(q);
  }
  return s;
}

enum class Quantity { Acceleration, Strain, Stress };

py::array_t<double> at_depth(Site& s, double depth, Quantity what) {
  if (!(depth >= 0.0) || !std::isfinite(depth))
    throw Error("depth must be 0 or more, not " + std::to_string(depth));
  std::vector<double> v;
  {
    py::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> lock(s.queries);
    const double z = depth * s.request.column.length_factor;
    if (s.run.fd) {
      const col::FdResult& fd = *s.run.fd;
      v = what == Quantity::Strain   ? col::fd_strain_at(fd, s.run.subs, z)
          : what == Quantity::Stress ? col::fd_stress_at(fd, s.run.subs, z)
                                     : col::fd_acceleration_at(fd, s.run.subs, z);
    } else {
      const col::Analysis& a = *s.run.analysis;
      v = what == Quantity::Strain   ? a.strain_at(z)
          : what == Quantity::Stress ? a.stress_at(z)
                                     : a.acceleration_at(z);
    }
  }
  return to_numpy(v);
}

// One end of transfer_between: its depth in metres and its kind. Outcrop
// motions stop at the half-space's top: below it the up-going wave of a
// damped half-space only grows with depth, and no outcrop of any layer
// records it.
struct Location {
  double z = 0.0;
  col::InputKind kind = col::InputKind::Within;
};

Location location(const Site& s, double depth, const std::string& kind, const char* name,
                  const char* kind_name) {
  const col::Column& c = s.request.column;
  if (!(depth >= 0.0) || !std::isfinite(depth))
    throw Error(std::string(name) + " must be a depth of 0 or more, not " + col::shortest(depth));
  if (kind != "within" && kind != "outcrop")
    throw Error(std::string(kind_name) + " is 'within' or 'outcrop', not " + korvo::quote(kind));
  Location at{depth * c.length_factor,
              kind == "within" ? col::InputKind::Within : col::InputKind::Outcrop};
  const double top = s.run.analysis->halfspace_top();
  if (at.kind == col::InputKind::Outcrop && at.z > top + col::INTERFACE_SNAP * top)
    throw Error(std::string(name) + ": an outcrop motion is for depths down to the half-space's " +
                "top at " + col::shortest(top / c.length_factor) + " " + c.length_unit + ", not " +
                col::shortest(depth));
  return at;
}

py::array_t<std::complex<double>> transfer_between(Site& s, double a, double b,
                                                   const std::string& kind_a,
                                                   const std::string& kind_b) {
  if (s.run.fd) throw Error("transfer_between is for methods 'eql' and 'linear', not 'fdeql'");
  const Location from = location(s, a, kind_a, "a", "kind_a");
  const Location to = location(s, b, kind_b, "b", "kind_b");
  std::vector<std::complex<double>> h;
  {
    py::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> lock(s.queries);
    h = s.run.analysis->transfer_between(from.z, from.kind, to.z, to.kind);
  }
  return to_numpy(h);
}

}  // namespace

void bind_site(py::module_& m) {
  py::class_<Site>(m, "Site")
      .def_property_readonly("surface", [](const Site& s) { return to_numpy(s.run.surface); })
      .def_property_readonly("dt", [](const Site& s) { return s.run.motion.dt; })
      .def_property_readonly("input", [](const Site& s) { return to_numpy(s.run.motion.a); })
      .def_property_readonly("unit",
                             [](const Site& s) { return rec::unit_name(s.request.record.unit); })
      .def_property_readonly("scale", [](const Site& s) { return s.run.scale; })
      .def_property_readonly("converged", [](const Site& s) { return s.run.result.converged; })
      .def_property_readonly("iterations", [](const Site& s) { return s.run.result.iterations; })
      .def_property_readonly("nfft", [](const Site& s) { return s.run.nfft; })
      .def_property_readonly("vs30", [](const Site& s) { return s.run.small.vs30; })
      .def_property_readonly("f0", [](const Site& s) { return s.run.small.f0; })
      .def_property_readonly("kappa0", [](const Site& s) { return s.run.small.kappa0; })
      .def_property_readonly("first_peak", [](const Site& s) { return s.run.first_peak; })
      .def_property_readonly("frequency",
                             [](const Site& s) {
                               std::vector<double> f(s.run.transfer.size());
                               for (std::size_t k = 0; k < f.size(); ++k)
                                 f[k] = s.run.df * static_cast<double>(k);
                               return to_numpy(f);
                             })
      .def_property_readonly("transfer", [](const Site& s) { return to_numpy(s.run.transfer); })
      .def_property_readonly("periods",
                             [](const Site& s) {
                               std::vector<double> p(s.run.periods.begin(), s.run.periods.end());
                               return to_numpy(p);
                             })
      .def_property_readonly("psa",
                             [](const Site& s) {
                               std::vector<double> in, out;
                               for (const auto& r : s.run.input.rows) in.push_back(r.psa);
                               for (const auto& r : s.run.output.rows) out.push_back(r.psa);
                               return py::make_tuple(to_numpy(in), to_numpy(out));
                             })
      .def("files", [](const Site& s) { return col::site_files(s.request, s.run); })
      .def("summary",
           [](const Site& s, const std::string& folder) {
             return col::site_summary(s.request, s.run, folder);
           })
      .def("warnings", [](const Site& s) { return col::site_warnings(s.request, s.run); })
      .def(
          "acceleration_at",
          [](Site& s, double depth) { return at_depth(s, depth, Quantity::Acceleration); },
          py::arg("depth"))
      .def(
          "strain_at", [](Site& s, double depth) { return at_depth(s, depth, Quantity::Strain); },
          py::arg("depth"))
      .def(
          "stress_at", [](Site& s, double depth) { return at_depth(s, depth, Quantity::Stress); },
          py::arg("depth"))
      .def("transfer_between", &transfer_between, py::arg("a"), py::arg("b"), py::arg("kind_a"),
           py::arg("kind_b"));
  m.def("site", &site, py::arg("profile"), py::arg("record_path"), py::arg("accel"), py::arg("dt"),
        py::arg("unit"), py::arg("scale_pga"), py::arg("fmax"), py::arg("depths"),
        py::arg("options"));
}
