# Every value equals the per-sample steps evaluated with Python floats and the C math
# library through ctypes, bit for bit (NaN compares as NaN), where shortcuts and lanes apply.
import ctypes, ctypes.util, math, struct
import numpy as np, pytest, vuvirida

libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _f in ("exp", "cos", "sin", "fmod"):
    getattr(libm, _f).restype = ctypes.c_double
    getattr(libm, _f).argtypes = (ctypes.c_double,) * (2 if _f == "fmod" else 1)
exp, cos, sin, fmod = libm.exp, libm.cos, libm.sin, libm.fmod
CYCLE, TURN, FOUR_PI, inf, nan = 6.283185297179586, 6.283185307179586, 1.2732395447351628, math.inf, math.nan

def fourier(t, a, g, w, p, y, n):
    u, s = t + p, 0.0
    for k in (float(2 * j + 1) for j in range(n)): s = s + (sin(u * (k * w)) * FOUR_PI) / k
    return (exp(g * t) * a) * (s + 1.0) + y

REFERENCE = {
    "harmonic_oscillator": lambda t, a, g, w, p, y: (exp(t * g) * a) * cos((t + p) * w) + y,
    "pseudo_square_wave": lambda t, a, g, w, p, y: (exp(g * t) * a) * (sin((t + p) * w) + sin(((t + p) * w) * 3.0) * 0.5) + y,
    "pseudo_cycloid_wave": lambda t, a, g, w, p, y: (exp(t * g) * a) * (cos((w + w) * (t + p)) - (cos((t + p) * w) + cos((t + p) * w))) + y,
    "fourier_square_wave": fourier,
    "transient_impulse": lambda t, a, per, wd, eq: ((exp(((x / wd) * (x / wd)) * -0.5) if (x := fmod(t, CYCLE) - (per / 24.0) * TURN) >= 0.0 else 0.0) * a) + eq,
}
def bits(values): return [struct.pack("<d", v) if v == v else "nan" for v in values]
def check(name, t, *args):
    t = np.asarray(t, dtype=np.float64)
    assert bits(getattr(vuvirida, name)(t, *args).tolist()) == bits(REFERENCE[name](v, *args) for v in t.tolist())

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

LONG = np.random.default_rng(3).uniform(-40.0, 260.0, 1001)
LANE_CALLS = [("harmonic_oscillator", (1.5, -0.01, 0.26, 0.3, 0.1)), ("harmonic_oscillator", (1.5, 0.0, 0.0, 0.3, 0.1)),
              ("pseudo_square_wave", (1.5, -0.01, 0.26, 0.3, 0.1)), ("pseudo_cycloid_wave", (1.5, 0.0, 0.26, 0.3, 0.1)),
              ("fourier_square_wave", (1.5, -0.01, 0.26, 0.3, 0.1, 5)), ("fourier_square_wave", (1.5, 0.0, 0.0, 0.3, 0.1, 7)),
              ("transient_impulse", (1.5, 3.0, 0.5, 0.1)), ("transient_impulse", (1.5, -30.0, 0.5, 0.1))]

@pytest.mark.parametrize("name, args", LANE_CALLS)
def test_lengths_offsets_and_long_arrays(name, args):
    check(name, LONG, *args)
    for length in range(41):
        for offset in (0, 1, 3):
            check(name, LONG[offset:offset + length], *args)
