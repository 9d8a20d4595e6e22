// The compiled part of the Python package: numpy arrays in and out of korvo's
// fixed arrays, and korvo's errors as one Python exception. The numbers are
// those of korvo's own functions; the Python layer above chooses the answers.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "motion/record.h"
#include "motion/spectra.h"
#include "run/run.h"

namespace py = pybind11;

namespace {

using korvo::Complex;
using korvo::Error;
using korvo::Grid;
using korvo::Integer;
using korvo::NMAX;
using korvo::Real;

using Floats = py::array_t<float, py::array::c_style | py::array::forcecast>;
using Complex64 = std::complex<float>;
static_assert(sizeof(Complex) == sizeof(Complex64) && alignof(Complex) <= alignof(Complex64));

py::array_t<float> to_numpy(const Real* v, std::size_t n) {
  py::array_t<float> out(static_cast<py::ssize_t>(n));
  std::copy(v, v + n, out.mutable_data());
  return out;
}

// The values of a one-dimensional array, refused when not finite: korvo's
// readers never produce NaN or Inf, and a quiet NaN raises no fault flag, so
// it would run through to the result files unnoticed.
std::vector<Real> values(const Floats& a, const char* what) {
  if (a.ndim() != 1) throw Error(std::string(what) + ": a one-dimensional array is needed");
  std::vector<Real> v(a.data(), a.data() + a.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (!std::isfinite(v[i]))
      throw Error(std::string(what) + "[" + std::to_string(i) + "] is not finite");
  }
  return v;
}

Real finite(double x, const char* what) {
  const Real r = static_cast<Real>(x);
  if (!std::isfinite(r))
    throw Error(std::string(what) + " " + std::to_string(x) +
                " is not finite as a single-precision number");
  return r;
}

// The refusal of a record the transform cannot hold, as the console words it.
[[noreturn]] void too_long(std::string_view source, long long NT) {
  throw Error(std::string(source) + ": NT>2**15 !!!!! (" + std::to_string(NT) + " pairs, at most " +
              std::to_string(NMAX) + ")");
}

// The whole file, opened by korvo's reader so that the reports are korvo's.
std::string slurp(const std::string& path) {
  korvo::Source in;
  korvo::open_input(in, path.c_str());
  std::string text;
  char buf[1 << 16];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, in.file)) > 0;) text.append(buf, n);
  if (std::ferror(in.file)) korvo::file_error("cannot read", path.c_str(), errno);
  return text;
}

struct RecordData {
  std::string format;  // "pairs", "at2" or "smc"
  std::vector<Real> time, accel;
  std::string unit, title;
  korvo::Notes notes;  // what the console would warn of
};

// A pairs file read by korvo's own reader.
RecordData read_korvo_pairs(const std::string& path) {
  py::gil_scoped_release unlocked;
  auto T = std::make_unique<Real[]>(NMAX), A = std::make_unique<Real[]>(NMAX);
  Grid g;
  korvo::Notes notes;
  korvo::read_record_file(path.c_str(), T.get(), A.get(), g, &notes);
  // The pairs beyond NMAX were counted, not kept: a shortened record would be a different record.
  if (g.NT > NMAX) too_long(path, g.NT);
  return {"pairs", {T.get(), T.get() + g.NT}, {A.get(), A.get() + g.NT}, "", "", notes};
}

// An AT2 or SMC record as korvo reads the pairs korvo-record writes for it:
// the same text, each number read back by korvo's number reader.
RecordData read_strong_motion(const std::string& path, const std::string& format) {
  py::gil_scoped_release unlocked;
  const std::string text = slurp(path);
  korvo::record::Format f;
  if (format == "at2")
    f = korvo::record::Format::At2;
  else if (format == "smc")
    f = korvo::record::Format::Smc;
  else
    f = korvo::record::detect_format(path, text);
  const korvo::record::Record rec = f == korvo::record::Format::At2
                                        ? korvo::record::read_at2(text, path)
                                        : korvo::record::read_smc(text, path);
  const std::size_t count = rec.a.size();
  const std::string pairs = korvo::record::format_pairs(rec, static_cast<long>(count));
  RecordData out{f == korvo::record::Format::At2 ? "at2" : "smc",
                 std::vector<Real>(count),
                 std::vector<Real>(count),
                 korvo::record::unit_name(rec.unit),
                 rec.title,
                 {}};
  std::string_view rest = pairs;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t blank = rest.find(' '), end = rest.find('\n');
    if (korvo::parse_number(rest.substr(0, blank), out.time[i]) != korvo::Parse::Ok ||
        korvo::parse_number(rest.substr(blank + 1, end - blank - 1), out.accel[i]) !=
            korvo::Parse::Ok)
      throw Error(path + ": sample " + std::to_string(i + 1) + " does not read back as a pair");
    rest.remove_prefix(end + 1);
  }
  return out;
}

// "at2", "smc", or "pairs" for a file that is neither by name nor by content.
std::string record_format(const std::string& path) {
  py::gil_scoped_release unlocked;
  const std::string text = slurp(path);
  try {
    return korvo::record::detect_format(path, text) == korvo::record::Format::At2 ? "at2" : "smc";
  } catch (const korvo::Error&) {
    return "pairs";
  }
}

korvo::Profile make_profile(const Floats& rho, const Floats& vp, const Floats& qp, const Floats& vs,
                            const Floats& qs, const Floats& thickness, double qexp, double angle,
                            Integer iflag) {
  const Floats* columns[] = {&rho, &vp, &qp, &vs, &qs, &thickness};
  const char* names[] = {"rho", "vp", "qp", "vs", "qs", "thickness"};
  std::vector<Real> v[6];
  for (int k = 0; k < 6; ++k) v[k] = values(*columns[k], names[k]);
  const std::size_t NL = v[0].size();
  korvo::check_layer_count(static_cast<Integer>(std::min<std::size_t>(NL, INT32_MAX)), "profile");
  korvo::Profile p;
  Real* out[] = {p.RHO, p.VP, p.QP, p.VS, p.QS, p.TH};
  for (int k = 0; k < 6; ++k) {
    if (v[k].size() != NL)
      throw Error(std::string("profile: ") + names[k] + " has " + std::to_string(v[k].size()) +
                  " layers, rho " + std::to_string(NL));
    std::copy(v[k].begin(), v[k].end(), out[k]);
  }
  p.NL = static_cast<Integer>(NL);
  p.QEXP = finite(qexp, "qexp");
  p.IFLAG = iflag;
  // As from a soil file: the degrees stored as a Real, then converted.
  p.ANGLE = finite(angle, "angle") * korvo::DEGRAD;
  return p;
}

// The two transfer-function columns of AMP (stride AMP_STRIDE), lines
// 1..NOM, side by side: line I is entries 2(I-1) and 2(I-1)+1.
std::vector<Complex> side_by_side(const Complex* AMP, Integer NOM) {
  std::vector<Complex> out(2 * static_cast<std::size_t>(NOM));
  for (std::size_t i = 0; i < static_cast<std::size_t>(NOM); ++i) {
    out[2 * i] = AMP[i];
    out[2 * i + 1] = AMP[korvo::AMP_STRIDE + i];
  }
  return out;
}

// One run's results, copied out of its workspace so that a result kept costs
// its own size rather than the workspace's 1.3 MB: the transfer functions
// side by side (NOM x 2), the processed spectrum (NOM lines), the time axis
// and history (NF samples).
struct Run {
  Grid g;
  std::vector<Complex> AMP, X;
  std::vector<Real> T, A;
};

Run run(const Floats& time, const Floats& accel, const std::string& source, const korvo::Profile& p,
        Integer IWAVE, Integer IAMP, Integer INTG, Integer IBPF, const std::vector<double>& corners,
        bool threads) {
  const std::vector<Real> t = values(time, "time"), a = values(accel, "accel");
  if (t.size() != a.size())
    throw Error(source + ": " + std::to_string(t.size()) + " times but " +
                std::to_string(a.size()) + " accelerations");
  if (t.size() > static_cast<std::size_t>(NMAX)) too_long(source, static_cast<long long>(t.size()));
  korvo::Answers answers;
  answers.IWAVE = IWAVE;
  answers.IAMP = IAMP;
  answers.c.INTG = INTG;
  answers.c.IBPF = IBPF;
  Real* corner[] = {&answers.c.OML1, &answers.c.OML2, &answers.c.OMH1, &answers.c.OMH2};
  if (corners.size() > 4)
    throw Error("band_pass: at most the four corners OML1, OML2, OMH1, OMH2, not " +
                std::to_string(corners.size()));
  for (std::size_t k = 0; k < corners.size(); ++k)
    *corner[k] = finite(corners[k], "band-pass corner");

  py::gil_scoped_release unlocked;
  Run r;
  Grid& g = r.g;
  auto w = std::make_unique<korvo::Workspace>();
  std::copy(t.begin(), t.end(), w->T);
  std::copy(a.begin(), a.end(), w->A);
  g.NT = static_cast<Integer>(t.size());
  // As the record reader forms it: what was not given is 0.
  korvo::fp_stage([&] { g.DT = w->T[1] - w->T[0]; },
                  [] { return "in the sample interval T(2) - T(1)"; });
  // Refused as the record reader refuses a file: decreasing or equal times
  // would give a negative or empty frequency grid, and files written from it.
  if (!(g.DT > 0.0f)) {
    char what[96];
    std::snprintf(what, sizeof what, ": the sample interval T(2) - T(1) = %.7g is not positive",
                  korvo::wide(g.DT));
    throw Error(source + what);
  }
  if (!korvo::compute(*w, g, p, answers, threads)) too_long(source, g.NT);
  r.AMP = side_by_side(w->AMP, g.NOM);
  r.X.assign(w->X, w->X + g.NOM);
  r.T.assign(w->T, w->T + g.NF);
  r.A.assign(w->A, w->A + g.NF);
  return r;
}

template <class T, class V>
py::array view(const py::object& owner, const V* data, std::vector<py::ssize_t> shape,
               std::vector<py::ssize_t> strides) {
  py::array_t<T> a(std::move(shape), std::move(strides), reinterpret_cast<const T*>(data), owner);
  a.attr("setflags")(py::arg("write") = false);
  return a;
}

py::array_t<Complex64> transfer(const korvo::Profile& p, long long NF, double dt, Integer IWAVE) {
  if (NF < 4 || NF > NMAX || (NF & (NF - 1)) != 0)
    throw Error("nf: a transform length is a power of two from 4 to " + std::to_string(NMAX) +
                ", not " + std::to_string(NF));
  Grid g;
  g.NF = static_cast<Integer>(NF);
  g.DT = finite(dt, "dt");
  auto AMP = std::make_unique<Complex[]>(2 * korvo::AMP_STRIDE);
  {
    py::gil_scoped_release unlocked;
    korvo::frequency_grid(g);
    korvo::site_transfer(IWAVE, g, p, AMP.get());
  }
  const std::vector<Complex> lines = side_by_side(AMP.get(), g.NOM);
  py::array_t<Complex64> out({static_cast<py::ssize_t>(g.NOM), py::ssize_t{2}});
  std::copy(lines.begin(), lines.end(), reinterpret_cast<Complex*>(out.mutable_data()));
  return out;
}

py::dict response_spectrum(const Floats& accel, double dt, const Floats& periods, double damping,
                           bool oversample) {
  namespace sp = korvo::spectra;
  const std::vector<Real> a = values(accel, "accel"), P = values(periods, "periods");
  const Real DT = finite(dt, "dt"), zeta = finite(damping, "damping");
  // The engine's preconditions, refused in korvo-spectra's words.
  if (!(DT > 0.0f)) throw Error("dt must be positive");
  if (!(zeta >= 0.0f && zeta < 1.0f)) throw Error("damping must lie in [0, 1)");
  for (Real period : P)
    if (!(period > 0.0f)) throw Error("periods must be positive");
  sp::Spectrum s;
  {
    py::gil_scoped_release unlocked;
    s = sp::response_spectrum(a, DT, P, zeta, oversample ? 0 : 1);
  }
  const std::size_t n = s.rows.size();
  py::array_t<float> period(static_cast<py::ssize_t>(n)), psa(static_cast<py::ssize_t>(n)),
      sv(static_cast<py::ssize_t>(n)), sd(static_cast<py::ssize_t>(n));
  for (std::size_t i = 0; i < n; ++i) {
    period.mutable_data()[i] = s.rows[i].period;
    psa.mutable_data()[i] = s.rows[i].psa;
    sv.mutable_data()[i] = s.rows[i].sv;
    sd.mutable_data()[i] = s.rows[i].sd;
  }
  py::dict d;
  d["periods"] = period;
  d["psa"] = psa;
  d["sv"] = sv;
  d["sd"] = sd;
  d["pga"] = s.ground.pga;
  d["pgv"] = s.ground.pgv;
  d["pgd"] = s.ground.pgd;
  d["factor"] = s.factor;
  return d;
}

void write_transfer(const Run& r, const std::string& path) {
  py::gil_scoped_release unlocked;
  // Back into columns of AMP_STRIDE lines, as the writer reads them.
  auto AMP = std::make_unique<Complex[]>(2 * korvo::AMP_STRIDE);
  for (std::size_t i = 0; i < static_cast<std::size_t>(r.g.NOM); ++i) {
    AMP[i] = r.AMP[2 * i];
    AMP[korvo::AMP_STRIDE + i] = r.AMP[2 * i + 1];
  }
  korvo::write_transfer_file(path.c_str(), AMP.get(), r.g, r.g.NOM);
}

void write_spectrum(const Run& r, const std::string& path) {
  py::gil_scoped_release unlocked;
  korvo::write_spectrum_file(path.c_str(), r.X.data(), r.g);
}

void write_history(const Run& r, const std::string& path) {
  py::gil_scoped_release unlocked;
  korvo::write_history_file(path.c_str(), r.T.data(), r.A.data(), r.g);
}

// A layer column of a profile, lines 1..NL.
template <Real (korvo::Profile::*Column)[korvo::LMAX]>
py::array_t<float> column(const korvo::Profile& p) {
  return to_numpy(p.*Column, static_cast<std::size_t>(p.NL));
}

}  // namespace

void bind_site(py::module_& m);       // site.cpp
void bind_rvt(py::module_& m);        // rvt.cpp
void bind_column(py::module_& m);     // column.cpp
void bind_nonlinear(py::module_& m);  // nonlinear.cpp

PYBIND11_MODULE(_korvo, m) {
  m.doc() = "korvo's compiled core; use the package korvo.";
  m.attr("__version__") = KORVO_VERSION;

  // Never destroyed: the interpreter may be gone by the time statics are.
  static auto* korvo_error = new py::exception<Error>(m, "KorvoError", PyExc_ValueError);
  korvo_error->attr("__doc__") =
      "A refusal or a floating-point fault of korvo, with korvo's one-line report.";
  py::register_exception_translator([](std::exception_ptr p) {
    const auto raise = [](const char* what) {
      PyErr_SetString(korvo_error->ptr(), korvo::one_line(what).c_str());
    };
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Error& e) {
      raise(e.what());
    }
  });

  m.attr("NMAX") = NMAX;
  m.attr("LMAX") = korvo::LMAX;
  m.attr("DEGRAD") = korvo::DEGRAD;

  using korvo::Profile;
  py::class_<Profile>(m, "Profile")
      .def_property_readonly("rho", &column<&Profile::RHO>)
      .def_property_readonly("vp", &column<&Profile::VP>)
      .def_property_readonly("qp", &column<&Profile::QP>)
      .def_property_readonly("vs", &column<&Profile::VS>)
      .def_property_readonly("qs", &column<&Profile::QS>)
      .def_property_readonly("thickness", &column<&Profile::TH>)
      .def_readonly("NL", &korvo::Profile::NL)
      .def_readonly("QEXP", &korvo::Profile::QEXP)
      .def_readonly("ANGLE", &korvo::Profile::ANGLE)
      .def_readonly("IFLAG", &korvo::Profile::IFLAG);
  m.def("make_profile", &make_profile, py::arg("rho"), py::arg("vp"), py::arg("qp"), py::arg("vs"),
        py::arg("qs"), py::arg("thickness"), py::arg("qexp"), py::arg("angle"), py::arg("iflag"));
  // The profile and the notes the console would warn of.
  m.def(
      "read_soil",
      [](const std::string& path) {
        korvo::Notes notes;
        korvo::Profile p = korvo::read_soil_file(path.c_str(), &notes);
        return py::make_tuple(p, notes);
      },
      py::arg("path"));

  py::class_<RecordData>(m, "RecordData")
      .def_readonly("format", &RecordData::format)
      .def_property_readonly(
          "time", [](const RecordData& r) { return to_numpy(r.time.data(), r.time.size()); })
      .def_property_readonly(
          "accel", [](const RecordData& r) { return to_numpy(r.accel.data(), r.accel.size()); })
      .def_readonly("unit", &RecordData::unit)
      .def_readonly("title", &RecordData::title)
      .def_readonly("notes", &RecordData::notes);
  m.def("record_format", &record_format, py::arg("path"));
  m.def("read_korvo_pairs", &read_korvo_pairs, py::arg("path"));
  m.def("read_strong_motion", &read_strong_motion, py::arg("path"), py::arg("format"));

  m.def("transfer", &transfer, py::arg("profile"), py::arg("nf"), py::arg("dt"), py::arg("iwave"));

  py::class_<Run>(m, "Run")
      .def_property_readonly("NT", [](const Run& r) { return r.g.NT; })
      .def_property_readonly("DT", [](const Run& r) { return r.g.DT; })
      .def_property_readonly("NF", [](const Run& r) { return r.g.NF; })
      .def_property_readonly("IF1", [](const Run& r) { return r.g.IF1; })
      .def_property_readonly("DUR", [](const Run& r) { return r.g.DUR; })
      .def_property_readonly("DOM", [](const Run& r) { return r.g.DOM; })
      .def_property_readonly("NOM", [](const Run& r) { return r.g.NOM; })
      .def_property_readonly("EOM", [](const Run& r) { return r.g.EOM; })
      .def_property_readonly("highest_frequency",
                             [](const Run& r) { return korvo::wide(r.g.EOM) / korvo::TWOPI_D; })
      .def_property_readonly("frequency",
                             [](const Run& r) {
                               std::vector<Real> f(static_cast<std::size_t>(r.g.NOM));
                               for (Integer I = 1; I <= r.g.NOM; ++I)
                                 f[static_cast<std::size_t>(I - 1)] = korvo::hertz(I, r.g.DOM);
                               return to_numpy(f.data(), f.size());
                             })
      .def_property_readonly("transfer",
                             [](const py::object& self) {
                               const Run& r = self.cast<const Run&>();
                               constexpr auto c = static_cast<py::ssize_t>(sizeof(Complex));
                               return view<Complex64>(self, r.AMP.data(), {r.g.NOM, 2}, {2 * c, c});
                             })
      .def_property_readonly("spectrum",
                             [](const py::object& self) {
                               const Run& r = self.cast<const Run&>();
                               return view<Complex64>(self, r.X.data(), {r.g.NOM},
                                                      {static_cast<py::ssize_t>(sizeof(Complex))});
                             })
      .def_property_readonly("time",
                             [](const py::object& self) {
                               const Run& r = self.cast<const Run&>();
                               return view<float>(self, r.T.data(), {r.g.NF},
                                                  {static_cast<py::ssize_t>(sizeof(Real))});
                             })
      .def_property_readonly("history",
                             [](const py::object& self) {
                               const Run& r = self.cast<const Run&>();
                               return view<float>(self, r.A.data(), {r.g.NF},
                                                  {static_cast<py::ssize_t>(sizeof(Real))});
                             })
      .def("write_transfer", &write_transfer, py::arg("path"))
      .def("write_spectrum", &write_spectrum, py::arg("path"))
      .def("write_history", &write_history, py::arg("path"));
  m.def("run", &run, py::arg("time"), py::arg("accel"), py::arg("source"), py::arg("profile"),
        py::arg("iwave"), py::arg("iamp"), py::arg("intg"), py::arg("ibpf"), py::arg("corners"),
        py::arg("threads") = true);

  m.def("response_spectrum", &response_spectrum, py::arg("accel"), py::arg("dt"),
        py::arg("periods"), py::arg("damping"), py::arg("oversample"));
  m.def("log_periods", &korvo::spectra::log_periods, py::arg("first"), py::arg("last"),
        py::arg("count"));
  bind_column(m);
  bind_site(m);
  bind_rvt(m);
  bind_nonlinear(m);
}
