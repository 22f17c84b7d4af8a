"""Sample-by-sample models of the five waveforms, the bitwise comparison the
tests judge them by, and generators of awkward inputs.

The models evaluate exactly the operations the module promises, one IEEE
rounding each: the arithmetic runs as separate NumPy ufuncs (never fused), and
exp, cos, sin and fmod are the platform libm's own, called through ctypes one
sample at a time, because Python's math module and NumPy's ufuncs may differ
from libm in the last bit."""
import ctypes
import ctypes.util

import numpy as np

FOUR_OVER_PI = 1.2732395447351628
FULL_TURN = 6.283185307179586
CYCLE = 6.283185297179586
INF, NAN = float("inf"), float("nan")

_libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _libm_ufunc(name, arity):
    fn = getattr(_libm, name)
    fn.restype, fn.argtypes = ctypes.c_double, [ctypes.c_double] * arity
    ufunc = np.frompyfunc(fn, arity, 1)
    return lambda *args: np.asarray(ufunc(*args), dtype=object).astype(np.float64)


exp, cos, sin = (_libm_ufunc(name, 1) for name in ("exp", "cos", "sin"))
fmod = _libm_ufunc("fmod", 2)


def harmonic_oscillator(t, amplitude, gamma, omega, phi, y):
    return ((exp(t * gamma) * amplitude) * cos((t + phi) * omega)) + y


def fourier_square_wave(t, amplitude, gamma, omega, phi, y, num_harmonics):
    a, u, total = exp(gamma * t) * amplitude, t + phi, np.zeros_like(t)
    for k in range(1, 2 * num_harmonics, 2):
        kf = float(k)
        total = total + ((sin(u * (kf * omega)) * FOUR_OVER_PI) / kf)
    return (a * (total + 1.0)) + y


def pseudo_square_wave(t, amplitude, gamma, omega, phi, y):
    theta = (t + phi) * omega
    return ((exp(gamma * t) * amplitude) * (sin(theta) + (sin(theta * 3.0) * 0.5))) + y


def pseudo_cycloid_wave(t, amplitude, gamma, omega, phi, y):
    u, twice = t + phi, omega + omega
    c1 = cos(u * omega)
    return ((exp(t * gamma) * amplitude) * (cos(twice * u) - (c1 + c1))) + y


def transient_impulse(t, amplitude, period, width, equilibrium):
    x = fmod(t, CYCLE) - ((period / 24.0) * FULL_TURN)
    q = x / width
    # Off (+0.0) before the onset and wherever the phase is NaN.
    pulse = np.where(x >= 0.0, exp((q * q) * -0.5), 0.0)
    return (pulse * amplitude) + equilibrium


def evaluate(name, t, *args):
    with np.errstate(all="ignore"):
        return globals()[name](np.asarray(t, dtype=np.float64), *args)


def assert_same(got, want, context=""):
    """Bit-for-bit equality, signed zeros included; any NaN matches any NaN."""
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == np.float64 and got.shape == want.shape
    same = (got.view(np.uint64) == want.view(np.uint64)) | (np.isnan(got) & np.isnan(want))
    bad = np.flatnonzero(~same)
    assert bad.size == 0, (f"{bad.size} samples differ {context}; first at {bad[:4]}: "
                           f"got {got[bad[:4]].tolist()}, want {want[bad[:4]].tolist()}")


def _special_times():
    tiny = [5e-324, 2.5e-320, 2.2250738585072014e-308, 1e-300, 1e-16]
    big = [1e300, 1.7976931348623157e308, 1e17, 2.0**53]
    cycles = CYCLE * np.array([1, 2, 3, 7, 100, 1e6, 1e15])
    base = np.concatenate([[0.0, 1.0, np.pi / 2, np.pi, INF], tiny, big, cycles])
    base = np.concatenate([base, -base])
    with np.errstate(over="ignore"):
        return np.concatenate([base, np.nextafter(base, INF), np.nextafter(base, -INF), [NAN, -NAN]])


# Signed zeros, infinities, NaN, subnormals, extremes and whole cycles of the
# impulse train, each with both float64 neighbours.
SPECIAL_TIMES = _special_times()


def random_times(rng, n):
    """Moderate times, times of any magnitude, raw bit patterns and specials."""
    q = n // 4
    signs = rng.choice([-1.0, 1.0], n - 3 * q)
    return rng.permutation(np.concatenate([
        rng.uniform(-40.0, 40.0, 2 * q),
        rng.integers(0, 2**64, q, dtype=np.uint64, endpoint=False).view(np.float64),
        signs * 10.0 ** rng.uniform(-323.5, 308.2, n - 3 * q),
    ])).astype(np.float64)


SPECIAL_SCALARS = [0.0, -0.0, INF, -INF, NAN, 5e-324, -1e-300, 1e300, -1e300, 1.0]


def random_scalar(rng, scale=3.0):
    kind = rng.integers(0, 4)
    if kind == 0:
        return float(rng.choice(SPECIAL_SCALARS))
    if kind == 1:
        return float(rng.choice([-1.0, 1.0]) * 10.0 ** rng.uniform(-310, 308))
    return float(rng.normal(0.0, scale))
