// Spectral processing: the transform and the conditioning of the spectrum.
#pragma once

#include "korvo.h"
#include "simd/simd.h"

namespace korvo {

// In place, unscaled, radix-2 decimation in time; IND = -1 forward, +1 inverse:
// X'(k) = sum_n X(n) exp(IND 2 pi i (n-1)(k-1) / N). N is a power of two;
// N <= 1 leaves X unchanged.
void fft(Integer N, Complex* X, Integer IND);

// NF, the smallest power of two from 4 up that holds NT pairs, and IF1 =
// log2 NF. False, leaving both 0, for a record of more than 2^15 pairs.
// NF is at least 4 so that the spectrum has a line between 0 and Nyquist.
bool transform_length(Grid& g);
// DUR, DOM, NOM and EOM from NF and DT. DT = 0 (and any other floating-point
// fault) is an Error.
void frequency_grid(Grid& g);
// Lines 1..NF of X times DT, the transform's step: the spectrum then has
// the units of a continuous Fourier transform.
void scale(Complex* X, Integer NF, Real DT);
// Lines NOM+1..NF of X as the conjugates of lines NF/2..2, so that the
// inverse transform of a real motion is real. Line 1 and the Nyquist line
// NF/2+1 have no partner and are kept as they are, imaginary part included.
void complete_hermitian(Complex* X, Integer NF);
// The time axis and the history after the inverse transform: T(I) = (I-1) DT
// and A(I) = Re X(I) / DUR for I = 1..NF. Dividing by DUR = NF DT undoes both
// scalings at once: the forward DT and the inverse transform's factor NF.
void time_history(const Complex* X, Real* T, Real* A, const Grid& g);

// The answers that shape the conditioning: INTG 1 integrate, 2 differentiate,
// else unchanged; IBPF = 1 applies the band-pass trapezoid with corners in
// rad/s. Unset corners keep these: an answer of three values leaves OMH2 far
// above any frequency of the grid.
struct Conditioning {
  Integer INTG = 0, IBPF = 0;
  Real OML1 = 0.0f, OML2 = 0.0f, OMH1 = 0.0f, OMH2 = 99999.9f;
};

// The pass over lines 1..NOM of X: line 1 cleared, line I rebuilt from A(I) and
// B(I) (the parts the amplification left), weighted by the trapezoid and
// divided or multiplied by i*OM. A floating-point fault is an Error naming
// the line.
void condition(Complex* X, const Real* A, const Real* B, const Grid& g, const Conditioning& c);

namespace detail {
// The first stage of fft alone: lines put in bit-reversed order, in place.
void bit_reverse(Integer N, Complex* X);
// The twiddle factors of fft, W[j] for j = 0 .. N/2 - 1: THETA = j IND pi /
// (N/2) in double, rounded to a Real, then (rcos, rsin). The stage of MMAX
// groups gives group M the factor at j = (M - 1) N / (2 MMAX): its own angle
// (M - 1) IND pi / MMAX scaled by a power of two, which changes no bit.
void twiddles(Integer N, Integer IND, Complex* W);
// The same by a given instruction set's kernels (every set gives the same bits).
void twiddles(Integer N, Integer IND, Complex* W, Simd simd);
void fft(Integer N, Complex* X, Integer IND, Simd simd);
// The trapezoidal weight of one line; the corners are not required to be in order.
Real band_weight(Real OM, const Conditioning& c);
}  // namespace detail

}  // namespace korvo
