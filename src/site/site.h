// Layered site response: the soil profile and the transfer functions of the
// layered column for an obliquely incident plane wave.
#pragma once

#include "korvo.h"
#include "text/text.h"

namespace korvo {

// Asks for the soil data file, reads it and returns the profile; ANGLE in
// radians. Layer columns are filled on entries 1..NL (arrays of LCAP entries).
// A layer count outside 1..LCAP ends the run with an error report. The soil
// file stays open until the run ends.
void read_soil_profile(Sink& con, Source& in, Real* RHO, Real* VP, Real* QP, Real* VS, Real* QS,
                       Real* TH, Real& QEXP, Integer& NL, Integer LCAP, Real& ANGLE,
                       Integer& IFLAG);

// Transfer functions of the column for a wave of one type (velocity V, quality
// factor Q at 1 Hz) on lines 1..NOM (line i at OM0 + (i-1) DOM rad/s). AMP is
// NCAP rows by 2 columns, column by column: AMP[i-1] is column 1 (surface over
// input wave, times ANUM), AMP[NCAP + i-1] column 2 (surface over the total
// motion at the top of the half-space). Rows beyond NOM are left untouched.
// QEXP = 999.0 exactly switches damping off.
void scalar_layer_transfer(Real OM0, Real DOM, Integer NOM, Integer NCAP, const Real* RHO,
                           const Real* V, const Real* Q, const Real* TH, Real QEXP, Integer NL,
                           Integer LCAP, Real ANGLE, Integer IFLAG, Complex* AMP);

// The same for vertical motion, with the effective velocity
// VE = VS sqrt(3 / (1 - VS^2/VP^2)) of each layer.
void vertical_layer_transfer(Real OM0, Real DOM, Integer NOM, Integer NCAP, const Real* RHO,
                             const Real* VP, const Real* QP, const Real* VS, const Real* QS,
                             const Real* TH, Real QEXP, Integer NL, Integer LCAP, Real ANGLE,
                             Integer IFLAG, Complex* AMP);

// The wave-type and reference questions, the transfer call, S_amp1, and the
// application of the chosen column and the travel-time phase factor to lines
// 1..NOM of X; A and B receive the parts of the new lines.
void amplify(Sink& con, Source& in, Real DOM, Integer NOM, const Real* RHO, const Real* VP,
             const Real* QP, const Real* VS, const Real* QS, const Real* TH, Real QEXP,
             Integer NL, Real ANGLE, Integer IFLAG, Complex* AMP, Complex* X, Real* A, Real* B);

}  // namespace korvo
