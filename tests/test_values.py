# Every sample must equal the libm model bit for bit, whatever the inputs,
# wherever it sits in the array and whatever the array's length: through the
# kernels' shortcuts, their vector lanes and the exact remainder, above all
# where libm's exp is not correctly rounded or e^x lies next to a rounding
# midpoint (in other floating-point environments: test_environment.py).
import zlib

import numpy as np
import pytest
import vuvirida

from reference import (CYCLE, EDGE_TIMES, FULL_TURN, HARD_AND_EDGES, INF, NAN, PULSES, TRIG_HARD, TYPICAL,
                       assert_same, evaluate, exp, random_scalar, random_times)

NAMES = vuvirida.__all__


def check(name, t, *args):
    t = np.asarray(t, dtype=np.float64)
    got = getattr(vuvirida, name)(t, *args)
    assert_same(got, evaluate(name, t, *args), f"{name}{args}")
    return got


def random_parameters(rng, name):
    if name == "transient_impulse":
        # Half the periods put the onset inside the cycle, where the pulse is on.
        period = float(rng.uniform(-2.0, 26.0)) if rng.random() < 0.5 else random_scalar(rng)
        return random_scalar(rng), period, random_scalar(rng, 1.0), random_scalar(rng)
    args = tuple(random_scalar(rng, s) for s in (3.0, 0.1, 2.0, 3.0, 3.0))
    return args + ((int(rng.integers(0, 6)),) if name == "fourier_square_wave" else ())


@pytest.mark.parametrize("name", NAMES)
def test_random_inputs_and_a_long_array(name):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    for _ in range(250):  # 250 * 428 > 100,000 samples
        check(name, np.concatenate([random_times(rng, 300), EDGE_TIMES]), *random_parameters(rng, name))
    # Long enough for every block and lane path, with polls between blocks.
    check(name, rng.permutation(np.concatenate([random_times(rng, 100_000), np.tile(EDGE_TIMES, 20)])),
          *TYPICAL[name])


# The typical parameters, and ones that take the kernels' shortcuts.
LOOPS = [(n, TYPICAL[n]) for n in NAMES] + [
    ("harmonic_oscillator", (1.5, 0.0, 0.0, 0.3, 0.1)), ("pseudo_cycloid_wave", (1.5, 0.0, 0.26, 0.3, 0.1)),
    ("fourier_square_wave", (1.5, 0.0, 0.0, 0.3, 0.1, 7)), ("transient_impulse", (1.5, -30.0, 0.5, 0.1))]


@pytest.mark.parametrize("name, args", LOOPS)
def test_sample_independent_of_position_and_length(name, args):
    # Vectorised loops treat an array's head and tail apart from its body;
    # every length to 70 from several start offsets reaches those paths.
    rng = np.random.default_rng(5)
    fn = getattr(vuvirida, name)
    t = rng.permutation(np.concatenate([rng.uniform(-30.0, 30.0, 150), EDGE_TIMES[::3]]))
    full = check(name, t, *args)
    for start in (0, 1, 2, 3, 7):
        for n in range(71):
            assert_same(fn(t[start:start + n], *args), full[start:start + n], f"[{start}:+{n}]")
    for i in range(0, t.size, 17):
        assert_same(fn(np.array([t[i]]), *args), full[i:i + 1], f"alone at {i}")


@pytest.mark.parametrize("name, args, want", [
    ("fourier_square_wave", (1.0, 0.0, 1.0, 0.0, 0.0, 1), 2.273239544735163),
    ("fourier_square_wave", (1.0, 0.0, 1.0, 0.0, 0.0, 2), 1.8488263631567752),
    ("pseudo_square_wave", (1.0, 0.0, 1.0, 0.0, 0.0), 0.5),
    ("fourier_square_wave", (2.0, 0.0, NAN, NAN, 0.5, 0), 2.5),  # no harmonic: omega, phi unused
])
def test_known_values_at_half_pi(name, args, want):
    assert_same(getattr(vuvirida, name)(np.array([np.pi / 2]), *args), np.array([want]))


def _nan(bits):
    return float(np.array([bits], dtype=np.uint64).view(np.float64)[0])


# NaNs of distinct signs and payloads (one signalling), met in twos and threes,
# beside NaNs the arithmetic makes (inf * 0, inf - inf, 0 / 0, sin(inf)).
QA, QB, QC, SD = (_nan(b) for b in (0x7FF8000000000A0A, 0xFFF80000000000B0, 0x7FF800000C000000, 0x7FF0000000000D0D))
OSCILLATOR_NAN_SCALARS = [  # amplitude, gamma, omega, phi, y
    (0.0, 1000.0, 1.0, QA, 0.0), (QA, QB, 1.0, 0.3, QC), (1.5, -0.01, QA, QB, QC), (INF, 0.0, 0.0, 0.3, QB),
    (QA, 0.0, 0.0, 0.0, QB), (QA, 0.0, QB, 0.3, 0.1), (1.0, QA, 0.0, 0.3, QB), (1.0, 1.0, INF, QA, -INF),
    (QC, 710.0, 0.26, 0.3, -INF), (-2.0, 0.01, 0.7, INF, QA)]
IMPULSE_NAN_SCALARS = [  # amplitude, period, width, equilibrium
    (QA, 0.0, QB, QC), (INF, 0.0, 0.5, QA), (QA, 3.0, 0.0, 0.1), (1.0, -INF, QA, QB), (QA, QB, 0.5, QC),
    (-INF, 0.0, 0.0, QB), (QB, 30.0, 0.5, QA), (1.0, 0.0, QC, 0.5)]
NAN_CASES = [(n, s + more) for n in NAMES if n != "transient_impulse" for s in OSCILLATOR_NAN_SCALARS
             for more in ([(1,), (3,)] if n == "fourier_square_wave" else [()])]
NAN_CASES += [("transient_impulse", s) for s in IMPULSE_NAN_SCALARS]


@pytest.mark.parametrize("name, args", NAN_CASES)
def test_nan_bits_independent_of_position_and_length(name, args):
    # A NaN's sign and payload depend on which NaN operand an operation meets
    # first; every path through a kernel (short arrays, blocks, lanes, their
    # remainders) must give a sample the bits it gets alone.
    fn = getattr(vuvirida, name)
    background = np.random.default_rng(9).uniform(-30.0, 30.0, 200)
    for sample in [3.0, 0.0, -0.0, QB, -QA, SD, INF, -INF, 1e9]:
        alone = fn(np.array([sample]), *args).view(np.uint64)[0]
        for n in (1, 7, 8, 15, 16, 63, 64, 65, 200):
            t = np.tile(background[:n], (n, 1))
            np.fill_diagonal(t, sample)
            got = np.array([fn(row, *args)[i] for i, row in enumerate(t)]).view(np.uint64)
            bad = np.flatnonzero(got != alone)
            assert bad.size == 0, f"t = {sample} at {bad[:4]} of {n}: {got[bad[:4]]} != {alone:#x}"


# The oscillators' shortcuts: zero rate or frequency, t == -phi, non-finite partners.
SAMPLES = [0.0, -0.0, 1.5, -2.25, 5e-324, -5e-324, 1e300, -1e300, INF, -INF, NAN]
SHORTCUTS = [(0.0, 0.26, 0.3), (-0.0, 0.26, -2.25), (-0.01, 0.0, 0.3), (-0.01, -0.0, INF), (0.01, 0.0, -INF),
             (0.0, -0.0, NAN), (-0.0, 0.0, 1.5), (0.0, INF, 0.3), (-0.0, NAN, 0.0), (-0.01, 0.26, 0.3), (NAN, 0.0, 0.3)]


@pytest.mark.parametrize("gamma, omega, phi", SHORTCUTS)
def test_zero_rate_and_frequency_shortcuts(gamma, omega, phi):
    t = SAMPLES + [-phi]
    for name in ("harmonic_oscillator", "pseudo_square_wave", "pseudo_cycloid_wave"):
        check(name, t, 1.5, gamma, omega, phi, -0.0)  # y = -0.0 shows zero signs
    for harmonics in (0, 1, 5):
        check("fourier_square_wave", t, 1.5, gamma, omega, phi, -0.0, harmonics)
    check("fourier_square_wave", SAMPLES, 1.5, gamma, NAN, phi, -0.0, 0)


# Sums of up to 512 harmonics go through the lanes, longer ones through the library alone.
@pytest.mark.parametrize("harmonics", [511, 512, 513])
def test_harmonic_counts_about_the_lanes_limit(harmonics):
    rng = np.random.default_rng(harmonics)
    check("fourier_square_wave", np.concatenate([random_times(rng, 300), EDGE_TIMES]), 1.5, -0.01, 0.26, 0.3, 0.1,
          harmonics)


AT_CYCLE = 24.0 * CYCLE / FULL_TURN  # onset within an ulp or two of the cycle length
MULTIPLES = [k * CYCLE for k in (1, 2, 3, 7, 1000, 2**20 + 1, 2**25 - 1, 2**27, 4e7, 2**40)]
EDGES = [2.0**28, 2.0**28 - 2**-25, 2.0**28 + 2**-24, 2.0**53, 2.0**1023, 4.0, 8.0, 2.0**-1022, CYCLE]
NEAR = [np.nextafter(v, d * INF) if d else v for v in MULTIPLES + EDGES for d in (-1, 0, 1)]
NEAR += [np.nextafter(np.nextafter(v, INF), INF) for v in MULTIPLES] + [AT_CYCLE]
IMPULSE_T = SAMPLES + NEAR + [-v for v in NEAR]


@pytest.mark.parametrize("period", [3.0, -3.0, 0.0, -0.0, 24.0, 1e300, INF, -INF, NAN]
                         + [AT_CYCLE + d * np.spacing(AT_CYCLE) for d in range(-3, 4)])
def test_impulse_onset_and_period(period):
    check("transient_impulse", IMPULSE_T, 1.5, period, 0.5, 0.1)


# With the onset at 0 the pulse exp(-((r / width)^2) / 2) shows the remainder r; narrow widths
# show the few-ulp remainders next to multiples of the cycle, wide ones the rest.
@pytest.mark.parametrize("width", [0.25, 2.0**-20, 2.0**-30, 2.0**-45])
def test_impulse_remainders_against_fmod(width):
    rng = np.random.default_rng(7)
    k, steps = rng.integers(1, 2**26, 3000).astype(float), rng.integers(-3, 4, 3000)
    t = np.array([np.nextafter(v, np.sign(s) * INF) if s else v for v, s in zip(k * CYCLE, steps)])
    random = [rng.uniform(-300, 300, 3000), rng.uniform(-2.0**28, 2.0**28, 2000), rng.uniform(2.0**28, 2.0**33, 1000),
              np.ldexp(rng.uniform(-1, 1, 2000), rng.integers(-1074, 40, 2000))]
    check("transient_impulse", np.concatenate([IMPULSE_T, t, -t, *random]), 1.0, 0.0, width, 0.0)


# Each oscillator with t = x / gamma exact, and the other parameters chosen so
# that the value shows e = exp(t * gamma) unrounded (harmonic: e; Fourier
# without harmonics: e; cycloid: -e) or rounded once (pseudo square).
OSCILLATORS = [("harmonic_oscillator", (1.0, 0.0, 0.0, 0.0)), ("fourier_square_wave", (1.0, 0.3, 0.2, 0.0, 0)),
               ("pseudo_cycloid_wave", (1.0, 0.0, 0.0, 0.0)), ("pseudo_square_wave", (1.5, 0.3, 0.2, 0.0))]


# The lanes take whole groups of 8 arguments and leave the last few of an array
# to libm; rolled by 8, every argument of a table lies in a whole group once.
@pytest.mark.parametrize("roll", [0, 8])
@pytest.mark.parametrize("gamma", [1.0, -1.0, 0.5])
@pytest.mark.parametrize("name, rest", OSCILLATORS)
def test_envelope_at_hard_and_edge_arguments(name, rest, gamma, roll):
    with np.errstate(over="ignore"):
        t = np.roll(HARD_AND_EDGES, roll) / gamma
    got = check(name, t, rest[0], gamma, *rest[1:])
    if name == "harmonic_oscillator":  # inf and NaN samples make cos((t + 0) * 0) NaN
        finite = np.isfinite(t)
        with np.errstate(over="ignore"):
            assert_same(got[finite], exp(t[finite] * gamma), "against exp itself")


def test_pulse_at_hard_exponents():
    # (t / width)^2 * -0.5 is the hard exponent exactly; with amplitude 1 the value is the pulse.
    for w in np.unique(PULSES[:, 1]):
        t = PULSES[PULSES[:, 1] == w, 0]
        # Repeated to at least two whole groups, and rolled, so that the lanes see each sample.
        for samples in (np.tile(t, 16), np.roll(np.tile(t, 16), 8)):
            got = check("transient_impulse", samples, 1.0, 0.0, w, 0.0)
            assert_same(got, exp(((samples / w) * (samples / w)) * -0.5), f"width {w}")


# Each oscillator with t the argument of a sin or cos: harmonic and cycloid
# cos(t) (the cycloid at half the frequency cos(2 * (t / 2)) as well), the
# square waves sin(t); with gamma != 0 the exp lanes run beside them. Rolled
# by 0 to 7 each hard case meets every lane position, and by 61 crosses into
# another block.
@pytest.mark.parametrize("gamma", [0.0, 2.0**-30])
@pytest.mark.parametrize("name, omega, more", [
    ("harmonic_oscillator", 1.0, ()), ("pseudo_cycloid_wave", 1.0, ()), ("pseudo_cycloid_wave", 0.5, ()),
    ("pseudo_square_wave", 1.0, ()), ("fourier_square_wave", 1.0, (3,))])
def test_sin_and_cos_at_hard_arguments_in_every_lane(name, omega, more, gamma):
    fn, args = getattr(vuvirida, name), (1.0, gamma, omega, 0.0, 0.0, *more)
    want = check(name, TRIG_HARD, *args)
    for roll in [*range(1, 8), 61]:
        assert_same(fn(np.roll(TRIG_HARD, roll), *args), np.roll(want, roll), f"rolled by {roll}")


# The covered range, beyond it, and the usual envelope and pulse ranges; the
# long run (benchmarks/exp_long_run.py) does the same on 10^8 arguments.
@pytest.mark.parametrize("name, low, high, args", [
    ("harmonic_oscillator", -708.0, 709.0, (1.0, 1.0, 0.0, 0.0, 0.0)),
    ("harmonic_oscillator", -746.0, 711.0, (1.0, 1.0, 0.0, 0.0, 0.0)),
    ("fourier_square_wave", -20.0, 20.0, (1.0, 1.0, 0.3, 0.2, 0.0, 0)),
    ("pseudo_cycloid_wave", -2.5, 0.0, (1.0, 1.0, 0.0, 0.0, 0.0)),
    ("pseudo_square_wave", -1e-3, 1e-3, (1.0, 1.0, 0.3, 0.2, 0.0)),
    *(("transient_impulse", -7.0, 7.0, (1.0, p, w, 0.0)) for p, w in [(0.0, 0.3), (3.0, 0.5), (5.0, 1e-3)]),
    *(("transient_impulse", -1e9, 1e9, (1.0, p, w, 0.0)) for p, w in [(-40.0, 2.0), (1.0, 40.0)]),
])
def test_exp_on_random_arguments(name, low, high, args):
    check(name, np.random.default_rng(int(high - low)).uniform(low, high, 60_000), *args)
