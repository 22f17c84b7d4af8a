#include "lib/oscillator_lanes.hpp"

#include <cmath>

#include "lib/exp_lanes.hpp"
#include "lib/trig_lanes.hpp"

namespace vuvirida::lib {

namespace {

double library_exp(double v) noexcept {
    return std::exp(v);
}

// The block's envelopes e[i] = exp(argument(t[i])), through the exp lanes.
// Out of line: a call per block costs nothing, and inlined into the block's
// loop the compiler cannot see that the block is never empty.
template <class Argument>
[[gnu::noinline]] void envelopes_of(Samples t, std::size_t count, Argument argument, double* a,
                                    double* e) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        a[i] = argument(t[i]);
    }
    exp_lanes(a, count, e);
    library_where_nan(a, e, count, library_exp);
}

}  // namespace

bool harmonic_oscillator_in_lanes(Samples time, std::size_t n, double* out, const Oscillation& s,
                                  Interruption interruption) noexcept {
    return in_blocks(n, 2, interruption, [&](std::size_t start, std::size_t count) {
        const auto [amplitude, gamma, omega, phi, y] = s;
        const Samples t{time.bytes + start * sizeof(double)};
        double a[kBlock], e[kBlock], m[kBlock], c[kBlock];
        envelopes_of(t, count, [=](double v) { return v * gamma; }, a, e);
        for (std::size_t i = 0; i < count; ++i) {
            m[i] = (t[i] + phi) * omega;
        }
        cosines(m, count, c);
        double* o = out + start;
        for (std::size_t i = 0; i < count; ++i) {
            o[i] = ((e[i] * amplitude) * c[i]) + y;
        }
        return redo_nans(out, start, count,
                         [&](std::size_t i) { out[i] = harmonic_oscillator_sample(time[i], s); });
    });
}

bool fourier_square_wave_in_lanes(Samples time, std::size_t n, double* out, const Oscillation& s,
                                  std::uint64_t num_harmonics, Interruption interruption) noexcept {
    const std::size_t work = static_cast<std::size_t>(num_harmonics) + 1;
    return in_blocks(n, work, interruption, [&](std::size_t start, std::size_t count) {
        const auto [amplitude, gamma, omega, phi, y] = s;
        const Samples t{time.bytes + start * sizeof(double)};
        double a[kBlock], e[kBlock], u[kBlock], m[kBlock], sine[kBlock], sum[kBlock];
        envelopes_of(t, count, [=](double v) { return gamma * v; }, a, e);
        for (std::size_t i = 0; i < count; ++i) {
            u[i] = t[i] + phi;
            sum[i] = 0.0;
        }
        // Term by term over the block, so that each sample's sum still adds
        // its terms in increasing k.
        for (std::uint64_t j = 0; j < num_harmonics; ++j) {
            const double kf = harmonic_number(j);
            const double wk = kf * omega;
            for (std::size_t i = 0; i < count; ++i) {
                m[i] = u[i] * wk;
            }
            sines(m, count, sine);
            for (std::size_t i = 0; i < count; ++i) {
                sum[i] = sum[i] + ((sine[i] * kFourOverPi) / kf);
            }
        }
        double* o = out + start;
        for (std::size_t i = 0; i < count; ++i) {
            o[i] = ((e[i] * amplitude) * (sum[i] + 1.0)) + y;
        }
        return redo_nans(out, start, count, [&](std::size_t i) {
            return fourier_square_wave_sample(time[i], s, num_harmonics, interruption, out[i]);
        });
    });
}

bool pseudo_square_wave_in_lanes(Samples time, std::size_t n, double* out, const Oscillation& s,
                                 Interruption interruption) noexcept {
    return in_blocks(n, 3, interruption, [&](std::size_t start, std::size_t count) {
        const auto [amplitude, gamma, omega, phi, y] = s;
        const Samples t{time.bytes + start * sizeof(double)};
        double a[kBlock], e[kBlock], theta[kBlock], theta3[kBlock], s1[kBlock], s3[kBlock];
        envelopes_of(t, count, [=](double v) { return gamma * v; }, a, e);
        for (std::size_t i = 0; i < count; ++i) {
            theta[i] = (t[i] + phi) * omega;
            theta3[i] = theta[i] * 3.0;
        }
        sines(theta, count, s1);
        sines(theta3, count, s3);
        double* o = out + start;
        for (std::size_t i = 0; i < count; ++i) {
            o[i] = ((e[i] * amplitude) * (s1[i] + (s3[i] * 0.5))) + y;
        }
        return redo_nans(out, start, count,
                         [&](std::size_t i) { out[i] = pseudo_square_wave_sample(time[i], s); });
    });
}

bool pseudo_cycloid_wave_in_lanes(Samples time, std::size_t n, double* out, const Oscillation& s,
                                  Interruption interruption) noexcept {
    return in_blocks(n, 3, interruption, [&](std::size_t start, std::size_t count) {
        const auto [amplitude, gamma, omega, phi, y] = s;
        const double w2 = omega + omega;
        const Samples t{time.bytes + start * sizeof(double)};
        double a[kBlock], e[kBlock], m2[kBlock], m1[kBlock], c2[kBlock], c1[kBlock];
        envelopes_of(t, count, [=](double v) { return v * gamma; }, a, e);
        for (std::size_t i = 0; i < count; ++i) {
            const double u = t[i] + phi;
            m2[i] = w2 * u;
            m1[i] = u * omega;
        }
        cosines(m2, count, c2);
        cosines(m1, count, c1);
        double* o = out + start;
        for (std::size_t i = 0; i < count; ++i) {
            o[i] = ((e[i] * amplitude) * (c2[i] - (c1[i] + c1[i]))) + y;
        }
        return redo_nans(out, start, count,
                         [&](std::size_t i) { out[i] = pseudo_cycloid_wave_sample(time[i], s); });
    });
}

bool oscillator_in_lanes(std::size_t n) noexcept {
    return n >= kBlock && trig_lanes_in_use();
}

}  // namespace vuvirida::lib
