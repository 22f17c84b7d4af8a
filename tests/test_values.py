# Every sample must equal the libm model bit for bit, whatever the inputs,
# wherever it sits in the array and whatever the array's length.
import zlib

import numpy as np
import pytest
import vuvirida

from reference import NAN, EDGE_TIMES, TYPICAL, assert_same, evaluate, random_scalar, random_times

NAMES = vuvirida.__all__


def random_parameters(rng, name):
    if name == "transient_impulse":
        # Half the periods put the onset inside the cycle, where the pulse is on.
        period = float(rng.uniform(-2.0, 26.0)) if rng.random() < 0.5 else random_scalar(rng)
        return random_scalar(rng), period, random_scalar(rng, 1.0), random_scalar(rng)
    args = tuple(random_scalar(rng, s) for s in (3.0, 0.1, 2.0, 3.0, 3.0))
    return args + ((int(rng.integers(0, 6)),) if name == "fourier_square_wave" else ())


@pytest.mark.parametrize("name", NAMES)
def test_matches_libm_model_on_random_inputs(name):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    for _ in range(250):  # 250 * 428 > 100,000 samples
        t, args = np.concatenate([random_times(rng, 300), EDGE_TIMES]), random_parameters(rng, name)
        assert_same(getattr(vuvirida, name)(t, *args), evaluate(name, t, *args), f"for {args}")


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
    full = fn(t, *args)
    assert_same(full, evaluate(name, t, *args))
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


@pytest.mark.parametrize("name", NAMES)
def test_matches_libm_model_in_a_long_array(name):
    rng = np.random.default_rng(11)
    t = rng.permutation(np.concatenate([random_times(rng, 300_000), np.tile(EDGE_TIMES, 50)]))
    assert_same(getattr(vuvirida, name)(t, *TYPICAL[name]), evaluate(name, t, *TYPICAL[name]))


def _nan(bits):
    return float(np.array([bits], dtype=np.uint64).view(np.float64)[0])


# NaNs of distinct signs and payloads (one signalling), met in twos and threes,
# beside NaNs the arithmetic makes (inf * 0, inf - inf, 0 / 0, sin(inf)).
QA, QB, QC, SD = (_nan(b) for b in (0x7FF8000000000A0A, 0xFFF80000000000B0, 0x7FF800000C000000, 0x7FF0000000000D0D))
INF = float("inf")
OSCILLATOR_NAN_SCALARS = [  # amplitude, gamma, omega, phi, y
    (0.0, 1000.0, 1.0, QA, 0.0), (QA, QB, 1.0, 0.3, QC), (1.5, -0.01, QA, QB, QC), (INF, 0.0, 0.0, 0.3, QB),
    (QA, 0.0, 0.0, 0.0, QB), (QA, 0.0, QB, 0.3, 0.1), (1.0, QA, 0.0, 0.3, QB), (1.0, 1.0, INF, QA, -INF),
    (QC, 710.0, 0.26, 0.3, -INF), (-2.0, 0.01, 0.7, INF, QA)]
IMPULSE_NAN_SCALARS = [  # amplitude, period, width, equilibrium
    (QA, 0.0, QB, QC), (INF, 0.0, 0.5, QA), (QA, 3.0, 0.0, 0.1), (1.0, -INF, QA, QB), (QA, QB, 0.5, QC),
    (-INF, 0.0, 0.0, QB), (QB, 30.0, 0.5, QA), (1.0, 0.0, QC, 0.5)]
NAN_SAMPLES = [3.0, 0.0, -0.0, QB, -QA, SD, INF, -INF, 1e9]
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
    for sample in NAN_SAMPLES:
        alone = fn(np.array([sample]), *args).view(np.uint64)[0]
        for n in (1, 7, 8, 15, 16, 63, 64, 65, 200):
            t = np.tile(background[:n], (n, 1))
            np.fill_diagonal(t, sample)
            got = np.array([fn(row, *args)[i] for i, row in enumerate(t)]).view(np.uint64)
            bad = np.flatnonzero(got != alone)
            assert bad.size == 0, f"t = {sample} at {bad[:4]} of {n}: {got[bad[:4]]} != {alone:#x}"
