#include "lib/generators.hpp"

#include <cmath>

namespace vuvirida::lib {

namespace {

// The harmonic number k = 2 j + 1 as a float64, rounded to nearest. Below
// 2^63 the odd number fits in 64 bits and converts directly. From 2^63 on it
// does not fit; 2 * double(j | 1) is then its correctly rounded value: the
// spacing of float64 at 2 k is twice that at k, and setting the low bit of j
// moves j off every rounding tie without crossing a rounding midpoint, so it
// rounds the way j + 1/2 does.
inline double harmonic_number(std::uint64_t j) noexcept {
    if (j < (std::uint64_t{1} << 63)) {
        return static_cast<double>(2 * j + 1);
    }
    return 2.0 * static_cast<double>(j | 1);
}

}  // namespace

void harmonic_oscillator(const double* time, std::size_t n, double* out, double amplitude,
                         double gamma, double omega, double phi, double y) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const double t = time[i];
        const double e = std::exp(t * gamma);
        const double p = e * amplitude;
        const double c = std::cos((t + phi) * omega);
        out[i] = (p * c) + y;
    }
}

void fourier_square_wave(const double* time, std::size_t n, double* out, double amplitude,
                         double gamma, double omega, double phi, double y,
                         std::uint64_t num_harmonics) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const double t = time[i];
        const double e = std::exp(gamma * t);
        const double a = e * amplitude;
        const double u = t + phi;
        double sum = 0.0;
        // Exactly num_harmonics odd harmonics, in increasing order.
        for (std::uint64_t j = 0; j < num_harmonics; ++j) {
            const double kf = harmonic_number(j);
            const double wk = kf * omega;
            const double s = std::sin(u * wk);
            sum = sum + ((s * kFourOverPi) / kf);
        }
        out[i] = (a * (sum + 1.0)) + y;
    }
}

void pseudo_square_wave(const double* time, std::size_t n, double* out, double amplitude,
                        double gamma, double omega, double phi, double y) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const double t = time[i];
        const double e = std::exp(gamma * t);
        const double a = e * amplitude;
        const double theta = (t + phi) * omega;
        const double s1 = std::sin(theta);
        const double s3 = std::sin(theta * 3.0);
        const double v = s1 + (s3 * 0.5);
        out[i] = (a * v) + y;
    }
}

void pseudo_cycloid_wave(const double* time, std::size_t n, double* out, double amplitude,
                         double gamma, double omega, double phi, double y) noexcept {
    const double w2 = omega + omega;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = time[i];
        const double e = std::exp(t * gamma);
        const double a = e * amplitude;
        const double u = t + phi;
        const double c2 = std::cos(w2 * u);
        const double c1 = std::cos(u * omega);
        const double d = c2 - (c1 + c1);
        out[i] = (a * d) + y;
    }
}

void transient_impulse(const double* time, std::size_t n, double* out, double amplitude,
                       double period, double width, double equilibrium) noexcept {
    const double onset = (period / 24.0) * kFullTurn;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = std::fmod(time[i], kImpulseCycle);
        const double x = r - onset;
        double p = +0.0;
        // `!(x < 0)` would let NaN through; the pulse is on only for x >= 0.
        if (x >= 0.0) {
            const double q = x / width;
            p = std::exp((q * q) * -0.5);
        }
        out[i] = (p * amplitude) + equilibrium;
    }
}

}  // namespace vuvirida::lib
