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
