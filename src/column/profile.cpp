#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>

#include "column/column.h"
#include "run/run.h"
#include "text/text.h"

namespace korvo::column {

namespace {

constexpr double FOOT = 0.3048;                                    // m
constexpr double PCF = 4.4482216152605 / 0.028316846592 / 1000.0;  // kN/m^3 per lbf/ft^3
constexpr int SUBLAYERS_MAX = 500;

// Darendeli (2001), dissertation table of the model's coefficients fitted to
// all credible tests (phi1..phi12): reference strain
// (phi1 + phi2 PI OCR^phi3) sigma0^phi4 in %, curvature phi5, small-strain damping
// (phi6 + phi7 PI OCR^phi8) sigma0^phi9 (1 + phi10 ln f) in %, scaling phi11 + phi12 ln N;
// sigma0 is the mean effective stress in atmospheres.
constexpr double PHI[13] = {0.0,    0.0352,  0.0010,  0.3246, 0.3483, 0.9190, 0.8005,
                            0.0129, -0.1069, -0.2889, 0.2919, 0.6329, -0.0057};

// Where a fault lies: the file, the table's first line and what it is.
struct Where {
  std::string_view file;
  std::string what;  // layer "clay", curve set "sand", [halfspace], or empty
  int line = 0;
};

int line_of(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

[[noreturn]] void fail(const Where& w, int line, const std::string& text) {
  std::string msg = where(w.file, line) + ": ";
  if (!w.what.empty()) msg += w.what + ": ";
  msg += text;
  throw korvo::Error(msg);
}

std::string shown(double v) { return shortest(v); }

std::string quoted(std::string_view key) {
  std::string q(1, '\'');
  q += key;
  q += '\'';
  return q;
}

// Refuses keys the table may not hold: a misspelt key would otherwise be
// silently left at its default.
void only_keys(const toml::table& t, const Where& w, std::initializer_list<std::string_view> keys,
               const char* context = nullptr) {
  for (const auto& [key, node] : t) {
    if (std::find(keys.begin(), keys.end(), key.str()) != keys.end()) continue;
    std::string text = "unknown key " + quote(key.str());
    if (context) text += context;
    fail(w, line_of(node), text);
  }
}

bool number_of(const toml::node& node, double& v) {
  if (auto i = node.as_integer()) {
    v = static_cast<double>(i->get());
    return true;
  }
  if (auto f = node.as_floating_point()) {
    v = f->get();
    return true;
  }
  return false;
}

enum class Range { Positive, NonNegative };

// A number in the table; `fallback` is used when the key is absent, and an
// absent key without one is a fault.
double number(const toml::table& t, const Where& w, std::string_view key, Range range,
              const double* fallback = nullptr) {
  const toml::node* node = t.get(key);
  if (!node) {
    if (fallback) return *fallback;
    fail(w, w.line, "missing key '" + std::string(key) + "'");
  }
  double v = 0.0;
  if (!number_of(*node, v)) fail(w, line_of(*node), quoted(key) + " must be a number");
  if (!std::isfinite(v)) fail(w, line_of(*node), quoted(key) + " must be finite");
  if (range == Range::Positive && !(v > 0.0))
    fail(w, line_of(*node), quoted(key) + " must be positive, not " + shown(v));
  if (range == Range::NonNegative && v < 0.0)
    fail(w, line_of(*node), quoted(key) + " must not be negative, not " + shown(v));
  return v;
}

// A damping ratio given in %, returned as a fraction.
double damping_pct(const toml::table& t, const Where& w, std::string_view key) {
  const double d = number(t, w, key, Range::NonNegative);
  if (d >= 100.0)
    fail(w, line_of(*t.get(key)), quoted(key) + " is a percentage below 100, not " + shown(d));
  return d / 100.0;
}

std::string text(const toml::table& t, const Where& w, std::string_view key, const char* fallback) {
  const toml::node* node = t.get(key);
  if (!node) {
    if (fallback) return fallback;
    fail(w, w.line, "missing key '" + std::string(key) + "'");
  }
  const auto* s = node->as_string();
  if (!s) fail(w, line_of(*node), quoted(key) + " must be a string");
  return s->get();
}

// [[strain %, value], ...] with strain increasing and the value moving one
// way only: down for G/Gmax (0 < value <= 1), up for damping (0 <= value < 100 %).
Curve curve(const toml::table& t, const Where& w, std::string_view key, bool modulus) {
  const toml::node* node = t.get(key);
  const std::string k = quoted(key);
  if (!node) fail(w, w.line, "missing key " + k);
  const auto* rows = node->as_array();
  if (!rows) fail(w, line_of(*node), k + " must be an array of [strain %, value] pairs");
  if (rows->size() < 2) fail(w, line_of(*node), k + " needs at least two points");
  Curve c;
  for (const auto& row : *rows) {
    const auto* pair = row.as_array();
    double s = 0.0, v = 0.0;
    if (!pair || pair->size() != 2 || !number_of((*pair)[0], s) || !number_of((*pair)[1], v) ||
        !std::isfinite(s) || !std::isfinite(v))
      fail(w, line_of(row), k + " must be an array of [strain %, value] pairs");
    const int line = line_of(row);
    if (!(s > 0.0)) fail(w, line, k + " strain must be positive, not " + shown(s));
    if (!c.strain_pct.empty() && !(s > c.strain_pct.back()))
      fail(w, line,
           k + " strains must increase: " + shown(s) + " after " + shown(c.strain_pct.back()));
    if (modulus) {
      if (!(v > 0.0 && v <= 1.0)) fail(w, line, k + " G/Gmax must lie in (0, 1], not " + shown(v));
      if (!c.value.empty() && v > c.value.back())
        fail(w, line,
             k + " G/Gmax must not rise with strain: " + shown(v) + " after " +
                 shown(c.value.back()));
    } else {
      if (!(v >= 0.0 && v < 100.0))
        fail(w, line, k + " damping must lie in [0, 100) %, not " + shown(v));
      v /= 100.0;
      if (!c.value.empty() && v < c.value.back())
        fail(w, line,
             k + " damping must not fall with strain: " + shown(v * 100.0) + " after " +
                 shown(c.value.back() * 100.0));
    }
    c.strain_pct.push_back(s);
    c.value.push_back(v);
  }
  return c;
}

const toml::table* table_at(const toml::table& root, const Where& w, std::string_view key) {
  const toml::node* node = root.get(key);
  if (!node) return nullptr;
  const auto* t = node->as_table();
  if (!t) fail(w, line_of(*node), quoted(key) + " must be a table");
  return t;
}

}  // namespace

double vertical_effective_stress(const Column& profile, double z) {
  double total = 0.0, top = 0.0;
  for (const Layer& layer : profile.layers) {
    const double h = std::min(layer.thickness, std::max(0.0, z - top));
    total += layer.unit_weight * h;
    top += layer.thickness;
    if (top >= z) break;
  }
  return total - WATER_UNIT_WEIGHT * std::max(0.0, z - profile.water_table);
}

namespace {

// The backbone of a nonlinear analysis and, for GQ/H, the shear strength.
void read_nonlinear(const toml::table& t, const Where& w, Layer& layer) {
  const std::string model = text(t, w, "nonlinear", "mkz");
  if (model != "mkz" && model != "gqh")
    fail(w, line_of(*t.get("nonlinear")),
         "'nonlinear' is \"mkz\" or \"gqh\", not \"" + model + "\"");
  layer.gqh = model == "gqh";
  const char* keys[] = {"strength", "su", "friction_angle", "gqh"};
  if (!layer.gqh) {
    for (const char* key : keys)
      if (const toml::node* n = t.get(key))
        fail(w, line_of(*n), quoted(key) + " belongs to nonlinear = \"gqh\"");
    return;
  }
  int given = 0;
  for (int i = 0; i < 3; ++i) given += t.get(keys[i]) ? 1 : 0;
  if (given != 1)
    fail(w, w.line, "nonlinear = \"gqh\" needs one of 'strength', 'su' (kPa) or 'friction_angle'");
  if (t.get("friction_angle")) {
    layer.friction_angle = number(t, w, "friction_angle", Range::Positive);
    if (!(layer.friction_angle < 90.0))
      fail(w, line_of(*t.get("friction_angle")),
           "'friction_angle' is in degrees below 90, not " + shown(layer.friction_angle));
  } else {
    layer.strength = number(t, w, t.get("su") ? "su" : "strength", Range::Positive);
  }
  if (const toml::node* n = t.get("gqh")) {
    const auto* list = n->as_array();
    const std::string what = "'gqh' must be [theta1, theta2, theta3, theta4, theta5]";
    if (!list || list->size() != 5) fail(w, line_of(*n), what);
    for (const auto& item : *list) {
      double v = 0.0;
      if (!number_of(item, v) || !std::isfinite(v)) fail(w, line_of(*n), what);
      layer.gqh_theta.push_back(v);
    }
    const auto& th = layer.gqh_theta;
    // theta_tau runs from theta1 to theta1 + theta2; above 1 the curve has no real stress.
    if (!(th[0] <= 1.0 && th[0] + th[1] <= 1.0 && th[2] > 0.0 && th[3] > 0.0 && th[4] > 0.0))
      fail(w, line_of(*n),
           "'gqh' needs theta1 <= 1, theta1 + theta2 <= 1 and theta3, theta4, theta5 above 0");
  }
}

}  // namespace

Column read_column(std::string_view source, std::string_view name) {
  toml::table root;
  try {
    root = toml::parse(source, name);
  } catch (const toml::parse_error& e) {
    // The parser's own words, which may quote the file: one line, cut short.
    std::string d = one_line(e.description().substr(0, 160));
    throw korvo::Error(where(name, static_cast<long>(e.source().begin.line)) + ": " + d);
  }
  const Where top{name, "", 0};
  only_keys(root, top, {"units", "water_table", "curves", "layer", "halfspace"});

  Column p;
  p.source = std::string(name);
  double& weight_factor = p.weight_factor;
  if (const auto* units = table_at(root, top, "units")) {
    const Where w{name, "[units]", line_of(*units)};
    only_keys(*units, w, {"length", "unit_weight"});
    const std::string length = text(*units, w, "length", "m");
    if (length == "ft") {
      p.length_unit = "ft";
      p.length_factor = FOOT;
    } else if (length != "m") {
      fail(w, line_of(*units->get("length")),
           "'length' is \"m\" or \"ft\", not \"" + length + "\"");
    }
    const std::string weight = text(*units, w, "unit_weight", "kN/m^3");
    if (weight == "pcf") {
      weight_factor = PCF;
      p.weight_unit = "pcf";
    } else if (weight != "kN/m^3") {
      fail(w, line_of(*units->get("unit_weight")),
           "'unit_weight' is \"kN/m^3\" or \"pcf\", not \"" + weight + "\"");
    }
  }
  const double L = p.length_factor;
  p.water_table = number(root, top, "water_table", Range::NonNegative) * L;

  if (const auto* sets = table_at(root, top, "curves")) {
    for (const auto& [key, node] : *sets) {
      const std::string set_name(key.str());
      const Where w{name, "curve set " + quote(set_name), line_of(node)};
      const auto* t = node.as_table();
      if (!t) fail(w, w.line, "must be a table with 'modulus' and 'damping'");
      if (set_name == "darendeli" || set_name == "linear")
        fail(w, w.line, "the name is reserved for a built-in model");
      only_keys(*t, w, {"modulus", "damping"});
      p.curves.push_back({set_name, curve(*t, w, "modulus", true), curve(*t, w, "damping", false)});
    }
  }

  const toml::node* layers = root.get("layer");
  if (!layers) fail(top, 0, "no layers: add [[layer]] tables from the surface down");
  const auto* list = layers->as_array();
  if (!list || !list->is_array_of_tables())
    fail(top, line_of(*layers), "'layer' must be given as [[layer]] tables");
  int index = 0;
  for (const auto& node : *list) {
    ++index;
    const auto& t = *node.as_table();
    Where w{name, "layer " + std::to_string(index), line_of(node)};
    Layer layer;
    layer.line = w.line;
    layer.name = text(t, w, "name", nullptr);
    if (layer.name.empty()) fail(w, line_of(*t.get("name")), "'name' must not be empty");
    w.what = "layer " + quote(layer.name);
    const std::string model = text(t, w, "model", nullptr);
    if (model == "darendeli") {
      only_keys(t, w,
                {"name", "thickness", "unit_weight", "vs", "model", "sublayers", "plasticity_index",
                 "ocr", "k0", "frequency", "cycles", "min_damping_pct", "nonlinear", "strength",
                 "su", "friction_angle", "gqh"},
                " for model darendeli");
      layer.model = Model::Darendeli;
      auto& d = layer.darendeli;
      d.pi = number(t, w, "plasticity_index", Range::NonNegative);
      d.ocr = number(t, w, "ocr", Range::Positive);
      if (d.ocr < 1.0)
        fail(w, line_of(*t.get("ocr")), "'ocr' must be at least 1, not " + shown(d.ocr));
      d.k0 = number(t, w, "k0", Range::Positive);
      const double one = 1.0, ten = 10.0;
      d.frequency = number(t, w, "frequency", Range::Positive, &one);
      d.cycles = number(t, w, "cycles", Range::Positive, &ten);
      if (d.cycles < 1.0)
        fail(w, line_of(*t.get("cycles")), "'cycles' must be at least 1, not " + shown(d.cycles));
      if (t.get("min_damping_pct")) d.dmin = damping_pct(t, w, "min_damping_pct");
    } else if (model == "linear") {
      only_keys(t, w,
                {"name", "thickness", "unit_weight", "vs", "model", "sublayers", "damping_pct"},
                " for model linear");
      layer.model = Model::Linear;
      layer.damping = damping_pct(t, w, "damping_pct");
    } else {
      const auto found = std::find_if(p.curves.begin(), p.curves.end(),
                                      [&](const CurveSet& c) { return c.name == model; });
      if (found == p.curves.end())
        fail(w, line_of(*t.get("model")),
             "model '" + model + "' is neither darendeli, linear nor a curve set under [curves]");
      only_keys(t, w,
                {"name", "thickness", "unit_weight", "vs", "model", "sublayers", "nonlinear",
                 "strength", "su", "friction_angle", "gqh"},
                " for a curve-set model");
      layer.model = Model::Table;
      layer.curves = static_cast<int>(found - p.curves.begin());
    }
    if (layer.model != Model::Linear) read_nonlinear(t, w, layer);
    layer.thickness = number(t, w, "thickness", Range::Positive) * L;
    layer.unit_weight = number(t, w, "unit_weight", Range::Positive) * weight_factor;
    layer.vs = number(t, w, "vs", Range::Positive) * L;
    if (const toml::node* n = t.get("sublayers")) {
      const auto* i = n->as_integer();
      if (!i || i->get() < 1 || i->get() > SUBLAYERS_MAX)
        fail(w, line_of(*n),
             "'sublayers' must be a whole number from 1 to " + std::to_string(SUBLAYERS_MAX));
      layer.sublayers = static_cast<int>(i->get());
    }
    p.layers.push_back(layer);
  }

  const auto* half = table_at(root, top, "halfspace");
  if (!half) fail(top, 0, "no [halfspace] table");
  const Where w{name, "[halfspace]", line_of(*half)};
  only_keys(*half, w, {"unit_weight", "vs", "damping_pct"});
  p.halfspace.unit_weight = number(*half, w, "unit_weight", Range::Positive) * weight_factor;
  p.halfspace.vs = number(*half, w, "vs", Range::Positive) * L;
  p.halfspace.damping = damping_pct(*half, w, "damping_pct");
  return p;
}

bool is_soil_file(std::string_view text) {
  const std::size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  double angle = 0.0;
  return !line.empty() && parse_number(line, angle) == Parse::Ok;
}

Column read_soil_column(const std::string& path, std::string_view length_unit) {
  Notes notes;
  const Profile soil = read_soil_file(path.c_str(), &notes);
  Column p;
  p.source = path;
  p.notes = std::move(notes);
  if (length_unit == "ft") {
    p.length_unit = "ft";
    p.length_factor = FOOT;
  } else if (length_unit != "m") {
    throw korvo::Error("the length unit of a soil file is m or ft, not " + quote(length_unit));
  }
  // Lines 1 to 3 hold the angle, IFLAG and the layer count with QEXP.
  if (soil.ANGLE != 0.0f)
    throw korvo::Error(where(path, 1) +
                       ": a wave incident off the vertical; the column takes vertical incidence "
                       "(an angle of 0)");
  if (soil.QEXP != 0.0f)
    throw korvo::Error(where(path, 3) + ": QEXP " + shown(soil.QEXP) +
                       " makes the damping depend on frequency, which a column layer's does not "
                       "(QEXP 0)");
  if (soil.NL < 2) throw korvo::Error(where(path, 4) + ": no layer above the half-space");
  // RHO only enters through impedance ratios in the console program; here it
  // also gives the stresses, so its unit follows the length unit's system.
  const double L = p.length_factor;
  const double weight = length_unit == "ft" ? PCF * 1000.0 : GRAVITY;
  const auto positive = [&](Real v, int line, const char* what) {
    if (!(v > 0.0f) || !std::isfinite(v))
      throw korvo::Error(where(path, line) + ": " + what + " must be a positive number, not " +
                         shown(v));
    return static_cast<double>(v);
  };
  for (Integer i = 0; i < soil.NL; ++i) {
    const int line = 4 + i;
    const double unit_weight = positive(soil.RHO[i], line, "RHO") * weight;
    const double vs = positive(soil.VS[i], line, "VS") * L;
    const double damping = 0.5 / positive(soil.QS[i], line, "QS");
    if (i + 1 == soil.NL) {
      p.halfspace = {unit_weight, vs, damping};
      break;
    }
    Layer layer;
    layer.name = "layer " + std::to_string(i + 1);
    layer.line = line;
    layer.thickness = positive(soil.TH[i], line, "the thickness") * L;
    layer.unit_weight = unit_weight;
    layer.vs = vs;
    layer.model = Model::Linear;
    layer.damping = damping;
    p.layers.push_back(layer);
  }
  p.converted = path + ": a soil file read with lengths in " + p.length_unit + ", RHO as " +
                (length_unit == "ft" ? "a unit weight in kcf" : "a density in t/m^3") +
                ", damping 1/(2 QS) in every layer, linear; VP and QP unused";
  return p;
}

Column read_profile(std::string_view text, const std::string& path, std::string_view length_unit,
                    std::string_view unit_option) {
  if (!is_soil_file(text)) {
    if (!length_unit.empty())
      throw korvo::Error(std::string(unit_option) + " is for soil files; " + path +
                         " is a TOML profile, whose [units] give its lengths");
    return read_column(text, path);
  }
  if (length_unit.empty())
    throw korvo::Error(path +
                       " is a soil file of fixed columns, whose lengths carry no unit: " + "give " +
                       std::string(unit_option) + " m or ft (or write the profile as TOML)");
  return read_soil_column(path, length_unit);
}

std::vector<Sublayer> divide(const Column& profile, double fmax) {
  std::vector<Sublayer> out;
  double top = 0.0;
  for (std::size_t i = 0; i < profile.layers.size(); ++i) {
    const Layer& layer = profile.layers[i];
    double wanted = layer.sublayers;
    if (wanted == 0.0)
      wanted = std::max(1.0, std::ceil(layer.thickness / (layer.vs / fmax / 5.0) - 1e-9));
    if (!(static_cast<double>(out.size()) + wanted <= SUBLAYERS_MAX))
      throw korvo::Error("the profile divides into more than " + std::to_string(SUBLAYERS_MAX) +
                         " sublayers at layer " + quote(layer.name) +
                         ": lower --fmax or give 'sublayers' for thick layers");
    const int count = static_cast<int>(wanted);
    const double h = layer.thickness / count;
    for (int j = 0; j < count; ++j) {
      Sublayer s;
      s.layer = static_cast<int>(i);
      s.top = top + h * j;
      s.thickness = h;
      s.mid = s.top + h / 2.0;
      s.rho = layer.unit_weight / GRAVITY;
      s.vs0 = layer.vs;
      s.soil.model = layer.model;
      if (layer.gqh) {
        s.gqh = true;
        s.gqh_theta = layer.gqh_theta;
        s.tau_max = layer.strength;
        if (layer.friction_angle > 0.0) {
          const double sv = vertical_effective_stress(profile, s.mid);
          if (!(sv > 0.0))
            throw korvo::Error(where(profile.source, layer.line) + ": layer " + quote(layer.name) +
                               ": no effective stress for 'friction_angle' at depth " +
                               shortest(s.mid / profile.length_factor) + " " + profile.length_unit);
          s.tau_max = sv * std::tan(layer.friction_angle * PI_D / 180.0);
        }
      }
      if (layer.model == Model::Darendeli) {
        const auto& d = layer.darendeli;
        const double sv = vertical_effective_stress(profile, s.mid);
        s.sigma_m = sv * (1.0 + 2.0 * d.k0) / 3.0;
        if (!(s.sigma_m > 0.0))
          throw korvo::Error(where(profile.source, layer.line) + ": layer " + quote(layer.name) +
                             ": no effective stress at depth " +
                             shortest(s.mid / profile.length_factor) + " " + profile.length_unit +
                             "; is its unit weight below water's?");
        const double s0 = s.sigma_m / ATMOSPHERE;
        s.soil.gamma_r = (PHI[1] + PHI[2] * d.pi * std::pow(d.ocr, PHI[3])) * std::pow(s0, PHI[4]);
        s.soil.a = PHI[5];
        s.soil.b = PHI[11] + PHI[12] * std::log(d.cycles);
        s.soil.dmin = d.dmin >= 0.0 ? d.dmin
                                    : (PHI[6] + PHI[7] * d.pi * std::pow(d.ocr, PHI[8])) *
                                          std::pow(s0, PHI[9]) *
                                          (1.0 + PHI[10] * std::log(d.frequency)) / 100.0;
        // Below about 0.03 Hz the frequency term turns the damping negative.
        if (s.soil.dmin < 0.0)
          throw korvo::Error(where(profile.source, layer.line) + ": layer " + quote(layer.name) +
                             ": the small-strain damping of the model is negative at 'frequency' " +
                             shortest(d.frequency) + " Hz");
      } else if (layer.model == Model::Table) {
        s.soil.set = &profile.curves[static_cast<std::size_t>(layer.curves)];
      } else {
        s.soil.damping = layer.damping;
      }
      out.push_back(s);
    }
    top += layer.thickness;
  }
  return out;
}

}  // namespace korvo::column
