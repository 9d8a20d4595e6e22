// Spectral processing: the transform and the conditioning of the spectrum.
#pragma once

#include "korvo.h"
#include "text/text.h"

namespace korvo {

// In place, unscaled, radix-2 decimation in time; IND = -1 forward, +1 inverse:
// X'(k) = sum_n X(n) exp(IND 2 pi i (n-1)(k-1) / N). N is a power of two and
// N <= NX (the capacity of X, which does not enter the computation); N <= 1
// leaves X unchanged.
void fft(Integer N, Complex* X, Integer NX, Integer IND);

// The integration/differentiation and band-pass dialogue, then the pass over
// lines 1..NOM of X: line 1 cleared, line I weighted by the trapezoid of the
// corners (rad/s) and divided or multiplied by i*OM. A and B hold the real and
// imaginary parts of lines 1..NOM as the amplification left them.
void condition_spectrum(Sink& con, Source& in, Complex* X, const Real* A, const Real* B, Real DOM,
                        Integer NOM);

namespace detail {
// The first stage of fft alone: lines put in bit-reversed order, in place.
void bit_reverse(Integer N, Complex* X);
// The trapezoidal weight of one line; the corners are not required to be in order.
Real band_weight(Real OM, Real OML1, Real OML2, Real OMH1, Real OMH2);
// The pass over lines 1..NOM after the dialogue. INTG: 1 integrate, 2
// differentiate, else unchanged; IBPF = 1 applies the band-pass weight.
void condition_pass(Complex* X, const Real* A, const Real* B, Real DOM, Integer NOM, Integer INTG,
                    Integer IBPF, Real OML1, Real OML2, Real OMH1, Real OMH2);
}  // namespace detail

}  // namespace korvo
