# The envelope and pulse exponentials are evaluated in vector lanes where the
# platform library is glibc; every value must still be libm's exp bit for bit,
# above all where libm's exp is not correctly rounded, where e^x lies next to
# a rounding midpoint, and where the lanes hand an argument back to libm.
import os
import platform
from contextlib import contextmanager

import numpy as np
import pytest
import vuvirida

from reference import INF, NAN, assert_same, evaluate, exp, libm

HERE = os.path.dirname(os.path.abspath(__file__))


def hard_cases():
    arguments, pulses = [], []
    with open(os.path.join(HERE, "data", "exp_hard_cases.txt")) as f:
        for line in f:
            if not line.startswith("#"):
                fields = [float.fromhex(v) for v in line.split()]
                (arguments if len(fields) == 1 else pulses).append(fields)
    return np.array(arguments).ravel(), np.array(pulses)


HARD, PULSES = hard_cases()
# The covered range's ends, the results' overflow and underflow thresholds,
# subnormal and power-of-two results, zeros, tiny arguments, inf and NaN.
_EDGES = [708.0, 709.0, 709.782712893384, 709.7827128933841, -708.3964185322641, -708.4, -745.1332191019411,
          -745.1332191019412, -1e4, 0.0, -0.0, 5e-324, 1e-300, 2.0**-53, 2.0**-54, np.log(2.0), 64 * np.log(2.0),
          -64 * np.log(2.0), 1.0, 0.5, INF]
EDGES = np.concatenate([[v, -v, np.nextafter(v, INF), np.nextafter(v, -INF)] for v in _EDGES] + [[NAN, -NAN]])

# Each oscillator with a rate gamma, t = x / gamma exact, and the other
# parameters chosen so that the value shows e = exp(t * gamma) unrounded
# (harmonic: e; Fourier without harmonics: e; cycloid: -e) or rounded once.
OSCILLATORS = [("harmonic_oscillator", (1.0, 0.0, 0.0, 0.0)), ("fourier_square_wave", (1.0, 0.3, 0.2, 0.0, 0)),
               ("pseudo_cycloid_wave", (1.0, 0.0, 0.0, 0.0)), ("pseudo_square_wave", (1.5, 0.3, 0.2, 0.0))]


def oscillator(name, x, gamma, rest):
    with np.errstate(over="ignore"):
        t = np.asarray(x) / gamma
    args = (rest[0], gamma) + rest[1:]
    return t, getattr(vuvirida, name)(t, *args), evaluate(name, t, *args)


# The lanes take whole groups of 8 arguments and leave the last few of an array
# to libm; rolled by 8, every argument of a table lies in a whole group once.
@pytest.mark.parametrize("roll", [0, 8])
@pytest.mark.parametrize("gamma", [1.0, -1.0, 0.5])
@pytest.mark.parametrize("name, rest", OSCILLATORS)
def test_envelope_at_hard_and_edge_arguments(name, rest, gamma, roll):
    x = np.roll(np.concatenate([HARD, EDGES]), roll)
    t, got, want = oscillator(name, x, gamma, rest)
    assert_same(got, want, name)
    if name == "harmonic_oscillator":  # inf and NaN samples make cos((t + 0) * 0) NaN
        finite = np.isfinite(t)
        with np.errstate(over="ignore"):
            assert_same(got[finite], exp(t[finite] * gamma), "against exp itself")


def test_pulse_at_hard_exponents():
    # (t / width)^2 * -0.5 is the hard exponent exactly; with amplitude 1 the value is the pulse.
    t, width = PULSES[:, 0], PULSES[:, 1]
    for w in np.unique(width):
        on = width == w
        # Repeated to at least two whole groups, and rolled, so that the lanes see each sample.
        for samples in (np.tile(t[on], 16), np.roll(np.tile(t[on], 16), 8)):
            got = vuvirida.transient_impulse(samples, 1.0, 0.0, w, 0.0)
            assert_same(got, evaluate("transient_impulse", samples, 1.0, 0.0, w, 0.0))
            assert_same(got, exp(((samples / w) * (samples / w)) * -0.5), f"width {w}")


@pytest.mark.parametrize("low, high", [(-708.0, 709.0), (-746.0, 711.0), (-20.0, 20.0), (-2.5, 0.0), (-1e-3, 1e-3)])
def test_envelope_on_random_arguments(low, high):
    # The covered range, beyond it, and the usual envelope ranges; the long run
    # (benchmarks/exp_long_run.py) does the same on 10^8 arguments.
    rng = np.random.default_rng(int(high - low))
    x = rng.uniform(low, high, 100_000)
    with np.errstate(over="ignore"):
        assert_same(vuvirida.harmonic_oscillator(x, 1.0, 1.0, 0.0, 0.0, 0.0), exp(x))


def test_pulse_on_random_samples():
    rng = np.random.default_rng(3)
    t = np.concatenate([rng.uniform(-7.0, 7.0, 50_000), rng.uniform(-1e9, 1e9, 10_000)])
    for period, width in [(0.0, 0.3), (3.0, 0.5), (-40.0, 2.0), (5.0, 1e-3), (1.0, 40.0)]:
        assert_same(vuvirida.transient_impulse(t, 1.0, period, width, 0.0),
                    evaluate("transient_impulse", t, 1.0, period, width, 0.0), f"period {period}, width {width}")


# fesetround's modes other than to nearest: downward, upward, toward zero.
DIRECTED = {"x86_64": (0x400, 0x800, 0xC00), "aarch64": (0x800000, 0x400000, 0xC00000)}.get(platform.machine(), ())


@contextmanager
def rounding(mode):
    assert libm.fesetround(mode) == 0
    try:
        yield
    finally:
        libm.fesetround(0)


@pytest.mark.parametrize("mode", DIRECTED)
def test_lanes_stand_aside_unless_rounding_to_nearest(mode):
    # The lanes' values are the library's only when rounding to nearest; in
    # any other mode each exp must be the library's own in that mode.
    rng = np.random.default_rng(mode)
    x = np.concatenate([rng.uniform(-708.0, 709.0, 20_000), HARD])
    t = rng.uniform(-7.0, 7.0, 20_000)
    with rounding(mode):
        got = [vuvirida.harmonic_oscillator(x, 1.0, 1.0, 0.0, 0.0, 0.0), vuvirida.fourier_square_wave(x, 1.0, 1.0, 0.3, 0.2, 0.0, 0),
               vuvirida.transient_impulse(t, 1.0, 0.0, 0.5, 0.0)]
        want = [exp(x), exp(x), evaluate("transient_impulse", t, 1.0, 0.0, 0.5, 0.0)]
    for g, w in zip(got, want):
        assert_same(g, w, f"rounding mode {mode:#x}")
