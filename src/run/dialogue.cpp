// The questions of a run after the input files, each with its prompt lines
// exactly as the run has always written them.
#include "run/run.h"

namespace korvo {

Integer ask_wave_type(Console& con) {
  Integer IWAVE = 0;
  write_list(con.out, {"  Enter Horizontal(=0), Vertical(=1) or Vp(=2):"});
  Source in = console_in("the wave-type question", con.answers);
  read_list(in, {&IWAVE});
  return IWAVE;
}

Integer ask_reference(Console& con) {
  write_list(con.out);
  write_list(con.out, {"S_amp: Amplification Factor for S wave"});
  write_list(con.out);
  write_list(con.out, {"WAVE * AMP(i):"});
  // AMP has two columns only: any other answer is asked again.
  Integer IAMP = 0;
  do {
    write_list(con.out, {"  Enter 1 for AMP with respect to INPUT WAVE:"});
    write_list(con.out, {"  Enter 2 for AMP with respect to BEDROCK WAVE:"});
    Source in = console_in("the reference question (1 or 2)", con.answers);
    read_list(in, {&IAMP});
  } while (IAMP != 1 && IAMP != 2);
  return IAMP;
}

Conditioning ask_conditioning(Console& con, const Grid& g) {
  Conditioning c;
  write_list(con.out);
  // ".;" is how the prompt has always read; scripts match on it.
  write_list(con.out, {" You can integrate or differentiate the original wave.;"});
  write_list(con.out, {"   Do not change   (Enter -> 0),"});
  write_list(con.out, {"   Integrate       (Enter -> 1),"});
  write_list(con.out, {"   Differentiate   (Enter -> 2):"});
  {
    Source in = console_in("the integrate/differentiate question", con.answers);
    read_list(in, {&c.INTG});
  }
  write_list(con.out);
  write_list(con.out, {" Band Pass Filter? (Yes=1 or No=0) :"});
  {
    Source in = console_in("the band-pass filter question", con.answers);
    read_list(in, {&c.IBPF});
  }
  if (c.IBPF == 1) {
    write_list(con.out, {"   Data for TRAPEZOIDAL BAND PASS FILTER:"});
    write_list(con.out,
               {"   INITIAL AND FINAL OMs =", Integer{0}, static_cast<Real>(g.NOM - 1) * g.DOM});
    write_list(con.out);
    write_list(con.out, {"   Enter OML1,OML2,OMH1 and OMH2 (OML1<OML2<OMH1<OMH2): "});
    Source in = console_in("the band-pass corners OML1,OML2,OMH1,OMH2", con.answers);
    read_list(in, {&c.OML1, &c.OML2, &c.OMH1, &c.OMH2});
  }
  return c;
}

}  // namespace korvo
