# Where the kernels skip a math-library call or compute a remainder in vector
# lanes, every value still equals the libm model bit for bit.
import numpy as np
import pytest
import vuvirida

from reference import CYCLE, FULL_TURN as TURN, INF as inf, NAN as nan, assert_same, evaluate


def check(name, t, *args):
    t = np.asarray(t, dtype=np.float64)
    assert_same(getattr(vuvirida, name)(t, *args), evaluate(name, t, *args), f"for {args}")


SAMPLES = [0.0, -0.0, 1.5, -2.25, 5e-324, -5e-324, 1e300, -1e300, inf, -inf, nan]
OSCILLATOR_SCALARS = [  # (gamma, omega, phi): zero rate/frequency, t == -phi, non-finite partners
    (0.0, 0.26, 0.3), (-0.0, 0.26, -2.25), (-0.01, 0.0, 0.3), (-0.01, -0.0, inf), (0.01, 0.0, -inf),
    (0.0, -0.0, nan), (-0.0, 0.0, 1.5), (0.0, inf, 0.3), (-0.0, nan, 0.0), (-0.01, 0.26, 0.3), (nan, 0.0, 0.3)]

@pytest.mark.parametrize("name", ["harmonic_oscillator", "pseudo_square_wave", "pseudo_cycloid_wave", "fourier_square_wave"])
@pytest.mark.parametrize("gamma, omega, phi", OSCILLATOR_SCALARS)
def test_zero_rate_and_frequency_shortcuts(name, gamma, omega, phi):
    extra = [[0], [1], [5]] if name == "fourier_square_wave" else [[]]
    for more in extra:
        check(name, SAMPLES + [-phi], 1.5, gamma, omega, phi, -0.0, *more)  # y = -0.0 shows zero signs
    if name == "fourier_square_wave":
        check(name, SAMPLES, 1.5, gamma, nan, phi, -0.0, 0)

AT_CYCLE = 24.0 * CYCLE / TURN  # onset within an ulp or two of the cycle length
PERIODS = [3.0, -3.0, 0.0, -0.0, 24.0, 1e300, inf, -inf, nan] + [AT_CYCLE + d * np.spacing(AT_CYCLE) for d in range(-3, 4)]
MULTIPLES = [k * CYCLE for k in (1, 2, 3, 7, 1000, 2**20 + 1, 2**25 - 1, 2**27, 4e7, 2**40)]
EDGES = [2.0**28, 2.0**28 - 2**-25, 2.0**28 + 2**-24, 2.0**53, 2.0**1023, 4.0, 8.0, 2.0**-1022, CYCLE]
NEAR = [np.nextafter(v, d * inf) if d else v for v in MULTIPLES + EDGES for d in (-1, 0, 1)]
NEAR += [np.nextafter(np.nextafter(v, inf), inf) for v in MULTIPLES]
IMPULSE_T = SAMPLES + NEAR + [-v for v in NEAR]

@pytest.mark.parametrize("period", PERIODS)
def test_impulse_onset_and_period(period):
    check("transient_impulse", IMPULSE_T + [AT_CYCLE, -AT_CYCLE], 1.5, period, 0.5, 0.1)

# With the onset at 0 the pulse exp(-((r / width)^2) / 2) shows the remainder r; narrow widths
# show the few-ulp remainders next to multiples of the cycle, wide ones the rest.
@pytest.mark.parametrize("width", [0.25, 2.0**-20, 2.0**-30, 2.0**-45])
def test_impulse_remainders_against_fmod(width):
    rng = np.random.default_rng(7)
    k = rng.integers(1, 2**26, 3000).astype(float)
    steps = rng.integers(-3, 4, 3000)
    t = np.array([np.nextafter(v, np.sign(s) * inf) if s else v for v, s in zip(k * CYCLE, steps)])
    random = np.concatenate([rng.uniform(-300, 300, 3000), rng.uniform(-2.0**28, 2.0**28, 2000), rng.uniform(2.0**28, 2.0**33, 1000),
                             np.ldexp(rng.uniform(-1, 1, 2000), rng.integers(-1074, 40, 2000))])
    check("transient_impulse", IMPULSE_T + t.tolist() + (-t).tolist() + random.tolist(), 1.0, 0.0, width, 0.0)
