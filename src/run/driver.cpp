#include <cmath>
#include <cstdio>
#include <string>

#include "run/run.h"
#include "run/schedule.h"

namespace korvo {

namespace {

// The method, stage by stage, from the record in T and A to the time history.
// False, with nothing computed, when the record is too long to transform.
// What the run is given between its stages and what it shows of them comes
// from x: the console run asks its questions and writes its lines and files;
// compute() has its answers up front, shows nothing and writes no file (its
// paths are null).
template <class Exchange>
bool stages(Workspace& w, Grid& g, Exchange& x, const Schedule& s) {
  if (!transform_length(g)) return false;
  s.map_in(w, g);
  x.length_found(g);
  forward_transform(w, g);
  frequency_grid(g);
  x.frequencies_found(g);
  fp_stage([&] { scale(w.X, g.NF, g.DT); }, [] { return "in the scaling of the spectrum by DT"; });

  const Profile p = x.profile();
  site_transfer(x.wave(), g, p, w.AMP, s.lines());
  amplify_stage(s, w, x.reference(), g, p, x.transfer_path);

  condition(w.X, w.A, w.B, g, x.conditioning(g));
  x.conditioned();
  const Held held = inverse_stage(s, w, g, x.spectrum_path, x.history, x.history_path);
  x.history_found(w, g, held);
  return true;
}

struct ConsoleExchange {
  Console& con;
  Sink korvo_dat;
  explicit ConsoleExchange(Console& c) : con(c) {}
  const char* transfer_path = "S_amp1";
  const char* spectrum_path = "amp_dat";
  const char* history_path = "korvo_dat";
  Sink* history = &korvo_dat;
  void length_found(const Grid& g) {
    write_list(con.out);
    write_list(con.out, {" IF1,NF=", g.IF1, g.NF});
  }
  void frequencies_found(const Grid& g) {
    write_list(con.out);
    write_list(con.out, {" DUR,DOM,NOM,EOM=", g.DUR, g.DOM, g.NOM, g.EOM});
    write_list(con.out, {" Highest Frequency (hz)=", wide(g.EOM) / TWOPI_D});
  }
  Profile profile() { return read_soil_profile(con); }
  Integer wave() { return ask_wave_type(con); }
  Integer reference() { return ask_reference(con); }
  Conditioning conditioning(const Grid& g) { return ask_conditioning(con, g); }
  void conditioned() {
    write_list(con.out);
    write_list(con.out, {"The Fourier Spectrum data are stored in \"amp_dat\""});
  }
  void history_found(const Workspace& w, const Grid& g, const Held& held) {
    write_summary(con.out, w.A, g);
    write_list(con.out);
    write_list(con.out, {"Output data are stored in \"korvo_dat\""});
    write_list(con.out);
    create_output(korvo_dat, history_path);
    if (held.unformed) std::rethrow_exception(held.unformed);
    write_history(korvo_dat, w.T, w.A, held.next, g.NT);
    close_output(korvo_dat);
    write_stop(con.out);
  }
};

struct GivenExchange {
  const Profile& p;
  const Answers& a;
  GivenExchange(const Profile& p_, const Answers& a_) : p(p_), a(a_) {}
  const char* transfer_path = nullptr;
  const char* spectrum_path = nullptr;
  const char* history_path = nullptr;
  Sink* history = nullptr;
  void length_found(const Grid&) {}
  void frequencies_found(const Grid&) {}
  Profile profile() { return p; }
  Integer wave() { return a.IWAVE; }
  Integer reference() { return a.IAMP; }
  Conditioning conditioning(const Grid&) { return a.c; }
  void conditioned() {}
  void history_found(const Workspace&, const Grid&, const Held&) {}
};

}  // namespace

void forward_transform(Workspace& w, const Grid& g) {
  for (Integer i = 1; i <= g.NF; ++i) w.X[i - 1] = {i <= g.NT ? w.A[i - 1] : 0.0f, 0.0f};
  fp_stage([&] { fft(g.NF, w.X, -1); }, [] { return "in the forward transform of the record"; });
}

void inverse_transform(Workspace& w, const Grid& g) {
  for (Integer i = 1; i <= g.NOM; ++i) w.Y[i - 1] = w.X[i - 1];
  complete_hermitian(w.Y, g.NF);
  fp_stage([&] { fft(g.NF, w.Y, +1); }, [] { return "in the inverse transform"; });
  fp_stage([&] { time_history(w.Y, w.T, w.A, g); },
           [] { return "in the output time axis and history"; });
}

void check_reference(Integer IAMP, std::string_view name) {
  // AMP holds two columns: any other would be read from past its end.
  if (IAMP == 1 || IAMP == 2) return;
  throw Error(std::string(name) + " = " + std::to_string(IAMP) +
              ": 1 (input or outcrop wave) or 2 (top of the half-space)");
}

void run(Console& con, Workspace& w) {
  const Schedule s(Schedule::overlap_from_environment(), true);
  Grid g;
  s.map_in_record(w);
  read_record(con, w.T, w.A, g, s.helper());
  ConsoleExchange x(con);
  if (!stages(w, g, x, s)) {
    write_list(con.out, {" NT>2**15 !!!!!"});
    write_stop(con.out);
  }
}

bool compute(Workspace& w, Grid& g, const Profile& p, const Answers& a, bool share_lines) {
  if (a.IWAVE < 0 || a.IWAVE > 2)
    throw Error("IWAVE = " + std::to_string(a.IWAVE) +
                ": 0 (horizontal), 1 (vertical) or 2 (P waves)");
  check_reference(a.IAMP, "IAMP");
  if (g.NT < 1) throw Error("NT = " + std::to_string(g.NT) + ": a record has at least one pair");
  if (!(g.DT > 0.0f) || !std::isfinite(g.DT)) {
    char what[96];
    std::snprintf(what, sizeof what, "DT = %.7g: the sample interval is not positive", wide(g.DT));
    throw Error(what);
  }
  check_layer_count(p.NL, "NL");
  GivenExchange x(p, a);
  return stages(w, g, x, Schedule(share_lines, false));
}

}  // namespace korvo
