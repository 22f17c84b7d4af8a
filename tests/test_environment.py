# Every value must be the library's in whatever floating-point environment
# the calling thread has set: subnormal results flushed to zero (FTZ, as a
# library built with -ffast-math sets for the whole process when loaded),
# subnormal operands read as zero (DAZ), each rounding mode, and their
# combinations. The reference evaluated in the same environment is the
# kernels' steps in that environment: its arithmetic is NumPy's, whose loops
# (scalar and SIMD alike) take their rounding and flushing from MXCSR or
# FPCR as every other instruction does (checked below), and libm's exp, cos,
# sin and fmod answer in the mode they find.
import operator

import numpy as np
import pytest
import vuvirida

from conftest import floating_point
from reference import (EDGE_TIMES, FULL_TURN, HARD_AND_EDGES, TRIG_HARD, TYPICAL, assert_same, evaluate,
                       random_times)

NAMES = vuvirida.__all__
ENVIRONMENTS = [(f, "nearest") for f in ("ftz", "daz", "ftz+daz")] + [
    (f, r) for f in ("", "ftz+daz") for r in ("downward", "upward", "toward zero")]
IDS = [f"{r}{'+' * bool(f)}{f}" for f, r in ENVIRONMENTS]
SUB, LEAST = 4e-309, 2.2250738585072014e-308  # a subnormal, the least normal
HIGH_SUB = float(np.nextafter(LEAST, 0.0))  # the largest subnormal, whose product with 1.5 is normal


@pytest.mark.parametrize("flush, rounding", ENVIRONMENTS, ids=IDS)
def test_the_reference_arithmetic_is_the_scalar_one_in_the_environment(flush, rounding):
    # Each NumPy operation over 1 and over 1000 elements gives what the same
    # operation gives on Python floats, one C operation each; and the
    # environment is in force: a subnormal product is flushed (FTZ), a
    # subnormal operand is read as zero (DAZ).
    rng = np.random.default_rng(1)
    a, b = (np.concatenate([[SUB, LEAST, -SUB], random_times(rng, 997)]) for _ in "ab")
    divisors = np.where(np.abs(b) < LEAST, 1.5, b)  # Python refuses a divisor equal to zero, as DAZ reads SUB
    with floating_point(flush, rounding), np.errstate(all="ignore"):
        for op, y in [(operator.add, b), (operator.sub, b), (operator.mul, b), (operator.truediv, divisors),
                      (operator.ge, b)]:
            for n in (1, a.size):
                scalar = [op(float(p), float(q)) for p, q in zip(a[:n], y[:n])]
                assert_same(op(a[:n], y[:n]).astype(np.float64), np.array(scalar, dtype=np.float64), op.__name__)
        # (Bit patterns, since DAZ makes a subnormal compare equal to zero.)
        assert ((np.full(99, LEAST) * 0.5).view(np.uint64) == 0).all() == ("ftz" in flush)
        assert ((np.full(99, SUB) * 2.0**60).view(np.uint64) == 0).all() == ("daz" in flush)


# Times: the edge values, subnormal ones, times next to an onset among the
# least normals, envelopes (gamma = -1) and pulses (width 0.05) that
# underflow, random ones; the hard exp arguments, with the range where the
# envelope nears and passes the least normal; the hard sin and cos arguments,
# with arguments of every magnitude.
_rng = np.random.default_rng(23)
TINY_ONSET = 24.0 * 2.0**-1021 / FULL_TURN  # a period whose onset lies next to the least normals
_onset = (TINY_ONSET / 24.0) * FULL_TURN
TIMES = _rng.permutation(np.concatenate([
    EDGE_TIMES, [SUB, -SUB], np.ldexp(_rng.uniform(-1.0, 1.0, 12), _rng.integers(-1074, -1018, 12)),
    _onset + np.arange(-3, 4) * np.spacing(_onset), np.linspace(700.0, 750.0, 25), np.linspace(1.85, 1.95, 25),
    _rng.uniform(-7.0, 7.0, 100), random_times(_rng, 200)]))
ENVELOPES = np.concatenate([HARD_AND_EDGES, _rng.uniform(-746.0, 711.0, 1000), _rng.uniform(-746.0, -707.0, 200),
                            _rng.uniform(-708.5, -707.0, 300)])
TRIG = np.concatenate([TRIG_HARD, _rng.choice([-1.0, 1.0], 200) * np.ldexp(_rng.uniform(0.5, 1.0, 200),
                                                                          _rng.integers(-1073, 1025, 200))])

# Per function the scalars and the times they meet.
OSCILLATING = [  # amplitude, gamma, omega, phi, y
    (SUB, 0.0, 0.0, 0.0, LEAST),  # zero rate and frequency: e * amplitude is still made, and flushed
    (HIGH_SUB, -0.0, 1.3, 0.2, LEAST),  # zero rate: flushed too where a shape above 1 would make it normal
    (1.5, SUB, SUB, SUB, SUB),  # Fourier: 1.0 * omega is still made, and flushed (shown by t near 1e300)
    (2.0**-1000, -1.0, 0.7, -0.0, 0.0),  # envelopes and values that underflow
    (-0.0, 0.0, -0.0, -0.0, -0.0)]


def _oscillating(name, *hard):
    more = (3,) * (name == "fourier_square_wave")
    return [(TIMES, TYPICAL[name])] + [(TIMES, s + more) for s in OSCILLATING] + list(hard)


ROWS = {
    "harmonic_oscillator": _oscillating("harmonic_oscillator", (ENVELOPES, (1.0, 1.0, 0.0, 0.0, 0.0)),
                                        (TRIG, (1.0, 0.0, 1.0, 0.0, 0.0))),
    "fourier_square_wave": _oscillating("fourier_square_wave", (ENVELOPES, (1.0, 1.0, 0.3, 0.2, 0.0, 0)),
                                        (TRIG, (1.0, 2.0**-30, 1.0, 0.0, 0.0, 3))),
    "pseudo_square_wave": _oscillating("pseudo_square_wave", (TRIG, (1.0, 2.0**-30, 1.0, 0.0, 0.0))),
    "pseudo_cycloid_wave": _oscillating("pseudo_cycloid_wave", (TRIG, (1.0, 0.0, 1.0, 0.0, 0.0)),
                                        (TRIG, (1.0, 0.0, 0.5, 0.0, 0.0))),
    "transient_impulse": [(TIMES, s) for s in [  # amplitude, period, width, equilibrium
        TYPICAL["transient_impulse"], (1.0, -1e-306, 1e-307, 0.0),  # fmod gives a subnormal time back, unflushed
        (SUB, 0.0, 0.5, 0.0), (1.0, SUB, SUB, SUB), (1.0, 0.0, 0.05, 0.0), (1.0, TINY_ONSET, 1.0, -0.0),
        (-0.0, 0.0, 1.0, -0.0)]]}
# Every length to 200, each slice starting elsewhere; and a long array, over
# which the kernels poll, of the samples repeated an odd count apart, so that
# each sample meets every lane position and many block positions.
LONG = 70_001


@pytest.mark.parametrize("flush, rounding", ENVIRONMENTS, ids=IDS)
@pytest.mark.parametrize("name", NAMES)
def test_every_value_is_the_librarys_in_the_environment(name, flush, rounding):
    fn = getattr(vuvirida, name)
    with floating_point(flush, rounding):
        for t, args in ROWS[name]:
            want = evaluate(name, t, *args)
            for n in range(1, 201):
                start = n * 37 % (t.size - n)
                assert_same(fn(t[start:start + n], *args), want[start:start + n], f"{args} [{start}:+{n}]")
            odd = t.size - 1 + t.size % 2
            repeats = -(-LONG // odd)
            assert_same(fn(np.tile(t[:odd], repeats), *args), np.tile(want[:odd], repeats), f"{args} repeated")
