#include "column/site.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <future>
#include <limits>

#include "machine/machine.h"
#include "motion/fourier.h"
#include "text/text.h"

namespace korvo::column {

namespace {

std::string pct(double fraction) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g %%", fraction * 100.0);
  return buf;
}

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

// profile.csv of a frequency-dependent run: each sublayer's mean frequency
// and the fall of its strain beyond it, the half-space's row left empty.
std::string with_strain_shape(const std::string& profile, const FdResult& fd) {
  std::string out;
  std::size_t row = 0, begin = 0;
  while (begin < profile.size()) {
    const std::size_t end = profile.find('\n', begin);
    out.append(profile, begin, end - begin);
    if (row == 0)
      out += ",strain_f_mean_hz,strain_exponent";
    else if (row <= fd.f_mean.size()) {
      out += ',';
      out += shortest(fd.f_mean[row - 1]);
      out += ',';
      out += shortest(fd.exponent[row - 1]);
    } else
      out += ",,";
    out += '\n';
    begin = end + 1;
    ++row;
  }
  return out;
}

}  // namespace

bool finite(const std::vector<double>& a) {
  return std::all_of(a.begin(), a.end(), [](double v) { return std::isfinite(v); });
}

bool finite(const spectra::Spectrum& s) {
  return std::all_of(s.rows.begin(), s.rows.end(), [](const spectra::Response& r) {
    return std::isfinite(r.psa) && std::isfinite(r.sv) && std::isfinite(r.sd);
  });
}

spectra::Spectrum spectrum_of(const std::vector<double>& a, double dt,
                              const std::vector<Real>& periods, bool beside) {
  std::vector<Real> af(a.size());
  std::transform(a.begin(), a.end(), af.begin(), [](double v) { return real(v); });
  if (!beside || periods.size() < 32 || !second_thread_runs())
    return spectra::response_spectrum(af, real(dt), periods, 0.05f);
  // The longer periods on a second core: each oscillator's arithmetic is its
  // own, so that, at the whole list's oversampling, the halves give the
  // whole's bits.
  const int factor =
      spectra::oversample_factor(real(dt), *std::min_element(periods.begin(), periods.end()));
  const auto half = static_cast<std::ptrdiff_t>(periods.size() / 2);
  const std::vector<Real> low(periods.begin(), periods.begin() + half);
  const std::vector<Real> high(periods.begin() + half, periods.end());
  const int home = current_core();
  std::future<spectra::Spectrum> later = std::async(std::launch::async, [&, home] {
    leave_core(home);
    return spectra::response_spectrum(af, real(dt), high, 0.05f, factor);
  });
  spectra::Spectrum s = spectra::response_spectrum(af, real(dt), low, 0.05f, factor);
  spectra::Spectrum rest = later.get();
  s.rows.insert(s.rows.end(), rest.rows.begin(), rest.rows.end());
  return s;
}

std::string depth_file(double depth) { return "depth_" + shortest(depth) + ".csv"; }

PreparedRecord prepare_record(const SiteRequest& q) {
  PreparedRecord r;
  r.motion.a = q.record.a;
  r.motion.dt = q.record.dt;
  r.motion.to_si = record::unit_factor(q.record.unit, record::Unit::MS2);
  if (!finite(r.motion.a))
    throw Error(q.record_name + ": the record holds a value that is not finite");
  r.pga = peak(r.motion.a);
  if (!(r.pga > 0.0)) throw Error(q.record_name + ": the record is all zeros");
  // The record as a run uses it: its baseline and band first, as a user
  // prepares a record; the peak it is scaled to is then the prepared one's.
  if (q.baseline >= 0) r.motion.a = fourier::remove_trend(r.motion.a, q.baseline);
  if (!q.band_pass_hz.empty()) {
    if (q.band_pass_hz.size() != 4) throw Error("a band-pass has four corners f1, f2, f3, f4 (Hz)");
    const long n = static_cast<long>(r.motion.a.size());
    r.motion.a = fourier::band_pass(r.motion.a, r.motion.dt, q.band_pass_hz.data(),
                                    transform_length(n, r.motion.dt, q.options));
  }
  if (q.baseline >= 0 || !q.band_pass_hz.empty()) {
    r.pga = peak(r.motion.a);
    if (!(r.pga > 0.0))
      throw Error(q.record_name +
                  ": nothing of the record is left after its baseline and band-pass");
  }
  r.scale = q.target_pga > 0.0 ? q.target_pga / r.pga : q.scale;
  if (r.scale != 1.0)
    for (double& a : r.motion.a) a *= r.scale;
  return r;
}

SiteRun run_site(const SiteRequest& q) {
  SiteRun r;
  r.subs = divide(q.column, q.fmax);
  PreparedRecord prepared = prepare_record(q);
  r.motion = std::move(prepared.motion);
  r.pga = prepared.pga;
  r.scale = prepared.scale;

  std::vector<double> depths = q.depths;
  std::sort(depths.begin(), depths.end());
  depths.erase(std::unique(depths.begin(), depths.end()), depths.end());

  if (q.frequency_dependent) {
    FdOptions fo;
    fo.column = q.options;
    fo.smoothing = q.smoothing;
    auto fd = std::make_shared<FdResult>(fd_eql(r.subs, q.column.halfspace, r.motion, fo));
    Result& res = r.result;
    // The profile reports each sublayer's properties up to its mean
    // frequency, those of its effective strain.
    for (std::size_t m = 0; m < r.subs.size(); ++m)
      res.props.push_back(fd->props[m].size() > 1 ? fd->props[m][1] : fd->props[m][0]);
    res.strain_eff = fd->strain_eff;
    res.strain_peak = fd->strain_peak;
    res.stress_peak = fd->stress_peak;
    res.pga_top = fd->pga_top;
    res.rows = fd->rows;
    res.converged = fd->converged;
    res.iterations = static_cast<int>(fd->rows.size());
    res.seconds = fd->seconds;
    r.surface = fd->surface;
    for (double z : depths)
      r.at.push_back({z, fd_acceleration_at(*fd, r.subs, z * q.column.length_factor)});
    r.transfer = fd->transfer;
    r.df = fd->frequency.size() > 1 ? fd->frequency[1] : 0.0;
    r.nfft = fd->nfft;
    r.fd = std::move(fd);
  } else {
    auto analysis = std::make_shared<Analysis>(r.subs, q.column.halfspace, r.motion, q.options);
    r.result = analysis->run();
    r.surface = analysis->surface();
    for (double z : depths)
      r.at.push_back({z, analysis->acceleration_at(z * q.column.length_factor)});
    r.transfer = analysis->transfer();
    r.df = analysis->frequency_step();
    r.nfft = analysis->transform_length();
    r.analysis = std::move(analysis);
  }
  r.small = small_strain(r.subs, q.column.halfspace);
  for (std::size_t k = 1; k + 1 < r.transfer.size(); ++k) {
    const double m = std::abs(r.transfer[k]);
    if (m >= std::abs(r.transfer[k - 1]) && m > std::abs(r.transfer[k + 1])) {
      r.first_peak = r.df * static_cast<double>(k);
      break;
    }
  }

  r.periods = spectra::log_periods(0.01f, 10.0f, 100);
  r.input = spectrum_of(r.motion.a, r.motion.dt, r.periods);
  r.output = spectrum_of(r.surface, r.motion.dt, r.periods);

  // Values beyond single precision (the spectra) or beyond double (the
  // response) are refused, not written.
  bool ok = finite(r.surface) && finite(r.input) && finite(r.output);
  // The spectra are computed in single precision: a motion beyond it would
  // give spectra of nothing, not of the motion.
  ok = ok && peak(r.motion.a) <= std::numeric_limits<float>::max() &&
       peak(r.surface) <= std::numeric_limits<float>::max();
  for (const DepthMotion& d : r.at) ok = ok && finite(d.a);
  for (const auto& h : r.transfer) ok = ok && std::isfinite(h.real()) && std::isfinite(h.imag());
  // The iteration's table and the final state go to iterations.csv and profile.csv.
  const Result& res = r.result;
  ok = ok && finite(res.strain_eff) && finite(res.strain_peak) && finite(res.stress_peak) &&
       finite(res.pga_top);
  for (const Props& p : res.props) ok = ok && std::isfinite(p.g_ratio) && std::isfinite(p.damping);
  for (const IterationRow& row : res.rows)
    ok = ok && std::isfinite(row.change_g) && std::isfinite(row.change_d) &&
         std::isfinite(row.contraction) && std::isfinite(row.distance);
  if (!ok)
    throw Error(q.record_name + ": the response is not finite (peak " + g6(r.pga * r.scale) + " " +
                record::unit_name(q.record.unit) + "): are the record's values in its unit?");
  return r;
}

std::vector<std::pair<std::string, std::string>> site_files(const SiteRequest& q,
                                                            const SiteRun& r) {
  const double dt = r.motion.dt;
  const std::string unit = record::unit_name(q.record.unit);
  std::vector<std::pair<std::string, std::string>> files;
  files.emplace_back("surface.csv", format_history(r.surface, dt, unit));
  for (const DepthMotion& d : r.at)
    files.emplace_back(depth_file(d.depth), format_history(d.a, dt, unit));
  std::string profile = format_profile(q.column, r.subs, r.result, unit);
  if (r.fd) profile = with_strain_shape(profile, *r.fd);
  files.emplace_back("profile.csv", std::move(profile));
  files.emplace_back("iterations.csv", format_iterations(r.result));
  files.emplace_back("transfer.csv", format_transfer(r.transfer, r.df));
  files.emplace_back("spectra.csv", format_spectra(r.periods, psa(r.input), psa(r.output), unit));
  return files;
}

namespace {

// How the record was prepared before the run, as the summary says it.
std::string prepared(const SiteRequest& q) {
  std::string out;
  if (q.baseline >= 0) out += q.baseline == 0 ? ", mean removed" : ", linear trend removed";
  if (q.band_pass_hz.size() == 4)
    out += ", band-passed " + g6(q.band_pass_hz[0]) + "/" + g6(q.band_pass_hz[1]) + "-" +
           g6(q.band_pass_hz[2]) + "/" + g6(q.band_pass_hz[3]) + " Hz";
  return out;
}

}  // namespace

std::string site_summary(const SiteRequest& q, const SiteRun& r, const std::string& folder) {
  const Column& c = q.column;
  const std::string& lu = c.length_unit;
  const std::string unit = record::unit_name(q.record.unit);
  const Sublayer& last = r.subs.back();
  const Result& res = r.result;
  std::string out = c.converted.empty() ? std::string() : c.converted + "\n";
  char buf[512];
  std::snprintf(
      buf, sizeof buf,
      "profile: %s, %zu layers in %zu sublayers over a half-space at %s %s (VS %s %s/s)\n",
      one_line(q.profile_name).c_str(), c.layers.size(), r.subs.size(),
      g6((last.top + last.thickness) / c.length_factor).c_str(), lu.c_str(),
      g6(c.halfspace.vs / c.length_factor).c_str(), lu.c_str());
  out += buf;
  std::snprintf(buf, sizeof buf,
                "site: Vs30 %s m/s; fundamental frequency %s Hz (quarter wavelength), %s Hz "
                "(first peak of transfer.csv); kappa0 %s s\n",
                g6(r.small.vs30).c_str(), g6(r.small.f0).c_str(), g6(r.first_peak).c_str(),
                g6(r.small.kappa0).c_str());
  out += buf;
  std::snprintf(buf, sizeof buf,
                "record: %s, %zu samples, dt %s s, PGA %s %s%s; %s motion; transform of %ld\n",
                one_line(q.record_name).c_str(), r.motion.a.size(), g6(r.motion.dt).c_str(),
                g6(r.pga * r.scale).c_str(), unit.c_str(),
                (prepared(q) + (r.scale != 1.0 ? " (scaled by " + g6(r.scale) + ")" : "")).c_str(),
                q.options.input == InputKind::Within ? "within (top of the half-space)"
                                                     : "outcrop (half-space)",
                r.nfft);
  out += buf;
  const bool all_linear = std::all_of(r.subs.begin(), r.subs.end(), [](const Sublayer& s) {
    return s.soil.model == Model::Linear;
  });
  if (q.options.method == Method::Linear) {
    out += "method: linear, the small-strain properties (no iteration)\n";
  } else if (r.fd) {
    const IterationRow& final_row = res.rows.back();
    out += q.smoothing == Smoothing::Flat
               ? "method: frequency-dependent equivalent-linear with one strain for every "
                 "frequency (flat smoothing)\n"
               : "method: frequency-dependent equivalent-linear: each sublayer's strain spectrum "
                 "flat to its mean frequency and falling as a fitted power beyond it (Kausel & "
                 "Assimaki 2002)\n";
    std::snprintf(buf, sizeof buf,
                  "iterations: %d (%s), %s: last change of G/Gmax %s, of damping %s at any "
                  "frequency (--tol %s); %.3g ms per iteration\n",
                  res.iterations, q.options.accelerate ? "Anderson mixing" : "plain",
                  res.converged ? "converged" : "NOT converged", pct(final_row.change_g).c_str(),
                  pct(final_row.change_d).c_str(), g6(q.options.tol).c_str(),
                  res.seconds / std::max(1, res.iterations) * 1e3);
    out += buf;
  } else if (all_linear) {
    out += "method: equivalent-linear, but every layer is linear: the small-strain properties\n";
  } else {
    const IterationRow& final_row = res.rows.back();
    const std::string distance =
        final_row.distance >= 0.0 ? "within " + pct(final_row.distance) : "an unknown distance";
    std::snprintf(buf, sizeof buf,
                  "iterations: %d (%s), %s: G/Gmax and damping %s of the fixed point (--tol %s, "
                  "%s); %.3g ms per iteration\n",
                  res.iterations, q.options.accelerate ? "Anderson mixing" : "plain",
                  res.converged ? "converged" : "NOT converged", distance.c_str(),
                  g6(q.options.tol).c_str(), pct(q.options.tol).c_str(),
                  res.seconds / std::max(1, res.iterations) * 1e3);
    out += buf;
  }
  std::size_t worst = 0;
  for (std::size_t m = 0; m < r.subs.size(); ++m)
    if (res.strain_peak[m] > res.strain_peak[worst]) worst = m;
  std::snprintf(buf, sizeof buf,
                "surface PGA %s %s; largest peak strain %s %% at %s %s (sublayer %zu of layer "
                "%s)\n",
                g6(peak(r.surface)).c_str(), unit.c_str(), g6(res.strain_peak[worst]).c_str(),
                g6(r.subs[worst].mid / c.length_factor).c_str(), lu.c_str(), worst + 1,
                quote(c.layers[static_cast<std::size_t>(r.subs[worst].layer)].name).c_str());
  out += buf;
  out += "wrote " + one_line(folder) +
         ": surface.csv, profile.csv, iterations.csv, transfer.csv, "
         "spectra.csv";
  for (const DepthMotion& d : r.at) out += ", " + depth_file(d.depth);
  out += "\n";
  return out;
}

std::vector<std::string> column_warnings(const Column& c) {
  std::vector<std::string> out;
  for (const std::string& note : c.notes) out.push_back("warning: " + note);
  const double lf = c.length_factor, wf = c.weight_factor;
  const std::string lu = c.length_unit, wu = c.weight_unit;
  auto at = [&](const Layer& l) {
    return "warning: " + where(c.source, l.line) + ": layer " + quote(l.name) + ": ";
  };
  auto velocity = [&](double vs) { return g6(vs / lf) + " " + lu + "/s"; };
  double base = 0.0;
  for (const Layer& l : c.layers) {
    base += l.thickness;
    if (l.unit_weight < 12.0 || l.unit_weight > 25.0)
      out.push_back(at(l) + "unit weight " + g6(l.unit_weight / wf) + " " + wu +
                    " lies outside 12 to 25 kN/m^3 of soils: is it in the unit [units] states?");
    if (l.vs < 50.0 || l.vs > 4000.0)
      out.push_back(at(l) + "Vs " + velocity(l.vs) +
                    " lies outside 50 to 4000 m/s of soils and rocks: is the length unit " + lu +
                    "?");
    if (l.model == Model::Darendeli && (l.darendeli.k0 < 0.2 || l.darendeli.k0 > 3.0))
      out.push_back(at(l) + "k0 " + g6(l.darendeli.k0) + " lies outside 0.2 to 3");
  }
  if (c.water_table > base)
    out.push_back("warning: " + one_line(c.source) + ": the water table at " +
                  g6(c.water_table / lf) + " " + lu + " lies below the column's base at " +
                  g6(base / lf) + " " + lu);
  if (!c.layers.empty() && c.halfspace.vs < c.layers.back().vs)
    out.push_back("warning: " + one_line(c.source) + ": the half-space (Vs " +
                  velocity(c.halfspace.vs) + ") is softer than the layer above it (Vs " +
                  velocity(c.layers.back().vs) + ")");
  for (const CurveSet& set : c.curves) {
    const std::string name = "warning: " + one_line(c.source) + ": curve set " + quote(set.name);
    const double last = std::min(set.modulus.strain_pct.back(), set.damping.strain_pct.back());
    if (last <= 0.01)
      out.push_back(name + ": its strains end at " + g6(last) +
                    " %: are they decimals rather than percent?");
    double most = 0.0;
    for (double d : set.damping.value) most = std::max(most, d);
    if (most <= 0.01)
      out.push_back(name + ": its damping is at most " + g6(most * 100.0) +
                    " %: is it given as fractions rather than percent?");
  }
  return out;
}

std::vector<std::string> site_warnings(const SiteRequest& q, const SiteRun& r) {
  std::vector<std::string> out = column_warnings(q.column);
  char buf[256];
  const double g = r.pga * r.scale * record::unit_factor(q.record.unit, record::Unit::G);
  if (!q.record.unit_stated && g > 2.0)
    out.push_back("warning: " + one_line(q.record_name) + ": a peak of " + g6(g) +
                  " g with no unit stated: is the record in cm/s^2 or m/s^2 (--unit)?");
  std::size_t beyond_table = 0, beyond_limit = 0, worst = 0;
  for (std::size_t m = 0; m < r.subs.size(); ++m) {
    const double e = r.result.strain_eff[m];
    const Soil& soil = r.subs[m].soil;
    if (soil.model == Model::Table && e > soil.set->modulus.strain_pct.back()) ++beyond_table;
    if (e > r.result.strain_eff[worst]) worst = m;
    if (e > q.strain_limit) ++beyond_limit;
  }
  const Layer& wl = q.column.layers[static_cast<std::size_t>(r.subs[worst].layer)];
  if (beyond_table > 0)
    out.push_back("warning: " + std::to_string(beyond_table) +
                  " sublayers reach effective strains beyond their curve table's last strain, "
                  "where the table's last values are held");
  if (q.options.method == Method::Eql && beyond_limit > 0)
    out.push_back("warning: effective strain " + g6(r.result.strain_eff[worst]) + " % in layer " +
                  quote(wl.name) + " (" + std::to_string(beyond_limit) + " sublayers beyond " +
                  g6(q.strain_limit) +
                  " %): equivalent-linear analysis is doubtful beyond about 1 %");
  if (r.result.ringing > 0.01) {
    std::snprintf(buf, sizeof buf,
                  "warning: the surface still rings at %.2g of its peak at the end of the "
                  "transform, which wraps onto the record's start; raise --pad or --nfft",
                  r.result.ringing);
    out.push_back(buf);
  }
  if (q.options.method == Method::Eql && !r.result.converged)
    out.push_back("warning: not converged after " + std::to_string(r.result.iterations) +
                  " iterations; the last state is written");
  return out;
}

}  // namespace korvo::column
