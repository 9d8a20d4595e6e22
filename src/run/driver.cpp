#include <exception>

#include "run/run.h"

namespace korvo {

void run(Console& con, Workspace& w) {
  Grid g;
  read_record(con, w.T, w.A, g);
  if (!transform_length(g)) {
    write_list(con.out, {" NT>2**15 !!!!!"});
    write_stop(con.out);
    return;
  }
  write_list(con.out);
  write_list(con.out, {" IF1,NF=", g.IF1, g.NF});

  for (Integer i = 1; i <= g.NF; ++i) w.X[i - 1] = {i <= g.NT ? w.A[i - 1] : 0.0f, 0.0f};
  fp_stage([&] { fft(g.NF, w.X, -1); }, [] { return "in the forward transform of the record"; });
  frequency_grid(g);
  write_list(con.out);
  write_list(con.out, {" DUR,DOM,NOM,EOM=", g.DUR, g.DOM, g.NOM, g.EOM});
  write_list(con.out, {" Highest Frequency (hz)=", wide(g.EOM) / TWOPI_D});
  fp_stage([&] { scale(w.X, g.NF, g.DT); }, [] { return "in the scaling of the spectrum by DT"; });

  const Profile p = read_soil_profile(con);
  site_transfer(ask_wave_type(con), g, p, w.AMP);
  const Integer IAMP = ask_reference(con);

  // S_amp1 is left as far as the lines the amplification got through.
  Integer last = g.NOM;
  std::exception_ptr fault;
  try {
    amplify(w.X, w.A, w.B, w.AMP, IAMP, g, p);
  } catch (const LineFault& f) {
    last = f.line;
    fault = std::current_exception();
  }
  write_transfer_file(w.AMP, g, last);
  if (fault) std::rethrow_exception(fault);

  condition(w.X, w.A, w.B, g, ask_conditioning(con, g));
  write_spectrum_file(con.out, w.X, g);

  complete_hermitian(w.X, g.NF);
  fp_stage([&] { fft(g.NF, w.X, +1); }, [] { return "in the inverse transform"; });
  fp_stage([&] { time_history(w.X, w.T, w.A, g); },
           [] { return "in the output time axis and history"; });
  write_time_history(con.out, w.T, w.A, g);
  write_stop(con.out);
}

}  // namespace korvo
