#pragma once

// One time step of a damped linear oscillator (unit mass, natural period T, damping ratio
// zeta) under ground acceleration that is linear between two samples, solved exactly: the
// recurrence of Nigam and Jennings (1969), "Calculation of response spectra from strong-motion
// earthquake records", BSSA 59(2), 909-922.
//
//   u[i+1] = a  u[i] + b  v[i] + c  acc[i] + d  acc[i+1]     (relative displacement)
//   v[i+1] = ap u[i] + bp v[i] + cp acc[i] + dp acc[i+1]     (relative velocity)
//
// The coefficients come from the matrix exponential and its phi-functions rather than from the
// paper's closed forms, which cancel catastrophically when the step is a small fraction of the
// period (terms of order 2 zeta / (omega dt) cancelling to (omega dt)^2): here every period keeps
// a relative accuracy near the double precision.
struct OscillatorStep {
    double a, b, c, d, ap, bp, cp, dp;
    double omega2;  // (2 pi / T)^2: pseudo-spectral acceleration = omega2 * max |u|
};

OscillatorStep oscillator_step(double period, double damping, double dt);
