// The column engine's options from the dict the Python layer checked and
// filled: one reading for korvo.site and korvo.rvt.site.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "column/site.h"
#include "text/text.h"

namespace korvo::python {

// Keys method, strain_ratio, tol, max_iter, accelerate, model, input, and
// pad and nfft when present (a record's transform).
inline column::Options column_options(const pybind11::dict& o) {
  namespace col = korvo::column;
  col::Options opt;
  const std::string method = o["method"].cast<std::string>();
  if (method != "linear" && method != "eql" && method != "fdeql")
    throw Error("method is 'linear', 'eql' or 'fdeql', not " + korvo::quote(method));
  opt.method = method == "linear" ? col::Method::Linear : col::Method::Eql;
  opt.strain_ratio = o["strain_ratio"].cast<double>();
  opt.tol = o["tol"].cast<double>();
  opt.max_iter = o["max_iter"].cast<int>();
  opt.accelerate = o["accelerate"].cast<bool>();
  const std::string model = o["model"].cast<std::string>();
  if (model == "velocity")
    opt.modulus = col::ComplexModulus::Velocity;
  else if (model == "simple")
    opt.modulus = col::ComplexModulus::Simple;
  else if (model == "unit-modulus")
    opt.modulus = col::ComplexModulus::UnitModulus;
  else
    throw Error("model is 'velocity', 'simple' or 'unit-modulus', not " + korvo::quote(model));
  const std::string input = o["input"].cast<std::string>();
  if (input != "outcrop" && input != "within")
    throw Error("input is 'outcrop' or 'within', not " + korvo::quote(input));
  opt.input = input == "within" ? col::InputKind::Within : col::InputKind::Outcrop;
  if (o.contains("pad")) opt.pad = o["pad"].cast<double>();
  if (o.contains("nfft")) opt.nfft = o["nfft"].cast<long>();
  return opt;
}

// Keys scale, baseline and band_pass_hz when present: how the record is prepared.
inline void record_options(column::SiteRequest& q, const pybind11::dict& o) {
  if (o.contains("scale")) q.scale = o["scale"].cast<double>();
  if (o.contains("baseline")) q.baseline = o["baseline"].cast<int>();
  if (o.contains("band_pass_hz")) q.band_pass_hz = o["band_pass_hz"].cast<std::vector<double>>();
}

// A file's text, read whole as korvo-site reads its inputs: one larger than
// 512 MB is refused before it is read. Call it with the interpreter's lock released.
std::string whole_file(const std::string& path);

// The profile from its file (an empty name: the caller has put a column built
// in memory in `request`) and the record from `path` (any layout) or, with
// an empty path, from the accelerations `a` at `dt` (s); `unit` and
// `scale_pga` as korvo-site's --unit and --scale-pga, empty when not given.
// Reads files: call it with the interpreter's lock released.
void read_request(column::SiteRequest& request, const std::string& profile, const std::string& path,
                  std::vector<double> a, double dt, const std::string& unit,
                  const std::string& scale_pga, const std::string& soil_unit);

}  // namespace korvo::python
