#include "response_spectra/oscillator_step.hpp"

#include <cmath>
#include <numbers>

namespace {

struct Matrix2 {
    double m00, m01, m10, m11;
};

Matrix2 operator*(const Matrix2 &x, const Matrix2 &y) {
    return {x.m00 * y.m00 + x.m01 * y.m10, x.m00 * y.m01 + x.m01 * y.m11, x.m10 * y.m00 + x.m11 * y.m10,
            x.m10 * y.m01 + x.m11 * y.m11};
}
Matrix2 operator+(const Matrix2 &x, const Matrix2 &y) {
    return {x.m00 + y.m00, x.m01 + y.m01, x.m10 + y.m10, x.m11 + y.m11};
}
Matrix2 scaled(const Matrix2 &x, double s) { return {x.m00 * s, x.m01 * s, x.m10 * s, x.m11 * s}; }
Matrix2 identity(double s = 1.0) { return {s, 0.0, 0.0, s}; }

// phi0 = e^Z, phi1 = (e^Z - I) / Z, phi2 = (e^Z - I - Z) / Z^2.
struct Phi {
    Matrix2 phi0, phi1, phi2;
};

// Taylor series of phi2 (Horner) for a small Z, then phi1 = I + Z phi2 and phi0 = I + Z phi1;
// then doubling back to the full Z: phi0(2Z) = phi0^2, phi1(2Z) = (phi0 phi1 + phi1) / 2,
// phi2(2Z) = (phi0 phi2 + phi2 + phi1) / 4.
Phi phi_functions(const Matrix2 &z) {
    const double norm = std::fmax(std::fabs(z.m00) + std::fabs(z.m01), std::fabs(z.m10) + std::fabs(z.m11));
    int squarings = 0;
    double scale = 1.0;
    while (norm * scale > 0.5) {
        scale *= 0.5;
        ++squarings;
    }
    const Matrix2 small = scaled(z, scale);
    // Terms to 1/19!: with |Z| <= 1/2 the remainder is below 1e-22.
    constexpr int terms = 18;
    double factorial = 1.0;  // (j + 2)! for j = terms
    for (int k = 2; k <= terms + 2; ++k) factorial *= k;
    Matrix2 phi2 = identity(1.0 / factorial);
    for (int j = terms - 1; j >= 0; --j) {
        factorial /= (j + 3);
        phi2 = small * phi2 + identity(1.0 / factorial);
    }
    Phi phi{};
    phi.phi2 = phi2;
    phi.phi1 = identity() + small * phi.phi2;
    phi.phi0 = identity() + small * phi.phi1;
    for (int s = 0; s < squarings; ++s) {
        const Matrix2 next2 = scaled(phi.phi0 * phi.phi2 + phi.phi2 + phi.phi1, 0.25);
        const Matrix2 next1 = scaled(phi.phi0 * phi.phi1 + phi.phi1, 0.5);
        phi.phi0 = phi.phi0 * phi.phi0;
        phi.phi1 = next1;
        phi.phi2 = next2;
    }
    return phi;
}

}  // namespace

// In the scaled state y = (u, v / omega): y' = omega S y + (0, -acc / omega) with
// S = [[0, 1], [-1, -2 zeta]]. Over one step with acc linear from acc[i] to acc[i+1], and
// Z = omega dt S,
//   y[i+1] = e^Z y[i] - (dt / omega) [(phi1 - phi2)(Z) e2 acc[i] + phi2(Z) e2 acc[i+1]].
OscillatorStep oscillator_step(double period, double damping, double dt) {
    const double omega = 2.0 * std::numbers::pi / period;
    const double x = omega * dt;
    const Phi phi = phi_functions({0.0, x, -x, -2.0 * damping * x});
    const Matrix2 first = phi.phi1 + scaled(phi.phi2, -1.0);  // weight of acc[i]
    const double h = dt / omega;
    OscillatorStep step{};
    step.a = phi.phi0.m00;
    step.b = phi.phi0.m01 / omega;
    step.c = -h * first.m01;
    step.d = -h * phi.phi2.m01;
    step.ap = omega * phi.phi0.m10;
    step.bp = phi.phi0.m11;
    step.cp = -dt * first.m11;
    step.dp = -dt * phi.phi2.m11;
    step.omega2 = omega * omega;
    return step;
}
