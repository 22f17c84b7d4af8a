# Sample-by-sample models of the five waveforms, the bitwise comparison that
# judges them, and awkward inputs. Arithmetic runs as separate NumPy ufuncs, one
# rounding each and never fused; exp, cos, sin and fmod are libm's own, called
# through ctypes, since Python's math and NumPy's ufuncs may differ in the last bit.
import ctypes
import ctypes.util
import os

import numpy as np

FOUR_OVER_PI, FULL_TURN, CYCLE = 1.2732395447351628, 6.283185307179586, 6.283185297179586
INF, NAN = float("inf"), float("nan")
libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _libm_ufunc(name, arity):
    fn = getattr(libm, name)
    fn.restype, fn.argtypes = ctypes.c_double, [ctypes.c_double] * arity
    ufunc = np.frompyfunc(fn, arity, 1)
    return lambda *args: np.asarray(ufunc(*args), dtype=object).astype(np.float64)


exp, cos, sin, fmod = (_libm_ufunc(n, 1 + (n == "fmod")) for n in ("exp", "cos", "sin", "fmod"))


def harmonic_oscillator(t, amplitude, gamma, omega, phi, y):
    return ((exp(t * gamma) * amplitude) * cos((t + phi) * omega)) + y


def fourier_square_wave(t, amplitude, gamma, omega, phi, y, num_harmonics):
    a, u, total = exp(gamma * t) * amplitude, t + phi, np.zeros_like(t)
    for kf in map(float, range(1, 2 * num_harmonics, 2)):
        total = total + ((sin(u * (kf * omega)) * FOUR_OVER_PI) / kf)
    return (a * (total + 1.0)) + y


def pseudo_square_wave(t, amplitude, gamma, omega, phi, y):
    theta = (t + phi) * omega
    return ((exp(gamma * t) * amplitude) * (sin(theta) + (sin(theta * 3.0) * 0.5))) + y


def pseudo_cycloid_wave(t, amplitude, gamma, omega, phi, y):
    u, c1 = t + phi, cos((t + phi) * omega)
    return ((exp(t * gamma) * amplitude) * (cos((omega + omega) * u) - (c1 + c1))) + y


def transient_impulse(t, amplitude, period, width, equilibrium):
    x = fmod(t, CYCLE) - ((period / 24.0) * FULL_TURN)
    # Off (+0.0) before the onset and wherever the phase is NaN.
    pulse = np.where(x >= 0.0, exp(((x / width) * (x / width)) * -0.5), 0.0)
    return (pulse * amplitude) + equilibrium


# Parameters under which every waveform varies from sample to sample.
TYPICAL = {"harmonic_oscillator": (1.5, -0.03, 1.3, 0.2, 0.5), "pseudo_square_wave": (-2.0, 0.01, 0.7, -1.1, 0.25),
           "fourier_square_wave": (0.75, -0.02, 2.1, 0.3, -0.5, 4), "pseudo_cycloid_wave": (3.0, 0.05, 0.9, 2.0, 1.0),
           "transient_impulse": (2.0, 5.0, 0.7, 0.25)}


def evaluate(name, t, *args):
    with np.errstate(all="ignore"):
        return globals()[name](np.asarray(t, dtype=np.float64), *args)


def assert_same(got, want, context=""):  # bit for bit, signed zeros too; any NaN matches any NaN
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == np.float64 and got.shape == want.shape
    same = (got.view(np.uint64) == want.view(np.uint64)) | (np.isnan(got) & np.isnan(want))
    bad = np.flatnonzero(~same)[:4]
    assert bad.size == 0, f"differ {context} at {bad}: {got[bad].tolist()} != {want[bad].tolist()}"


# Signed zeros, infinities, NaN, subnormals, extremes and whole cycles of the
# impulse train, each with both float64 neighbours.
_BASE = np.array([0.0, 1.0, np.pi / 2, np.pi, INF, 5e-324, 2.5e-320, 2.2250738585072014e-308,
                  1e-300, 1e-16, 1e300, 1.7976931348623157e308, 1e17, 2.0**53]
                 + [CYCLE * k for k in (1, 2, 3, 7, 100, 1e6, 1e15)])
with np.errstate(over="ignore"):
    EDGE_TIMES = np.concatenate([np.concatenate([b, np.nextafter(b, INF), np.nextafter(b, -INF)])
                                    for b in (_BASE, -_BASE)] + [[NAN, -NAN]])

_DATA = os.path.join(os.path.dirname(__file__), "data")
# Hard arguments of exp made by tools/make_exp_data.py: where libm is not
# correctly rounded, where e^x lies within 1e-3 ulp of a midpoint, and where
# the lanes' rounding test draws its line; with the covered range's ends, the
# overflow and underflow thresholds, subnormal and power-of-two results.
with np.load(os.path.join(_DATA, "exp_hard_cases.npz")) as _cases:
    HARD, PULSES = _cases["arguments"], _cases["pulses"]
_EDGES = [708.0, 709.0, 745.2, 745.1554647108885, 709.782712893384, 709.7827128933841, -708.3964185322641, -708.4, -745.1332191019411,
          -745.1332191019412, -1e4, 0.0, 5e-324, 1e-300, 2.0**-53, 2.0**-54, np.log(2.0), 64 * np.log(2.0), 1.0, 0.5, INF]
HARD_AND_EDGES = np.concatenate([HARD, *([v, -v, np.nextafter(v, INF), np.nextafter(v, -INF)] for v in _EDGES),
                                 [NAN, -NAN]])
# Hard arguments of sin and cos made by tools/make_trig_data.py: where the
# library's steps without multiply-adds round otherwise than the library
# itself, where their last sum is a tie or next to one, the steps' branch and
# table edges, multiples of pi/2, quadrant ties, and what the lanes leave to
# the library; padded to whole groups of 8, so that every case goes through
# the lanes.
with np.load(os.path.join(_DATA, "trig_hard_cases.npz")) as _cases:
    TRIG_HARD = np.concatenate([_cases[k] for k in _cases.files])
TRIG_HARD = np.resize(TRIG_HARD, -(-TRIG_HARD.size // 8) * 8)


def random_times(rng, n):  # moderate times, raw bit patterns (any NaN payload), any magnitude
    q = n // 4
    return rng.permutation(np.concatenate([
        rng.uniform(-40.0, 40.0, 2 * q), rng.integers(0, 2**64, q, dtype=np.uint64).view(np.float64),
        rng.choice([-1.0, 1.0], n - 3 * q) * 10.0 ** rng.uniform(-323.5, 308.2, n - 3 * q)]))


def random_scalar(rng, scale=3.0):  # an edge value, any magnitude, or ordinary, 1:1:2
    return float([rng.choice([0.0, -0.0, INF, -INF, NAN, 5e-324, -1e-300, 1e300, -1e300, 1.0]),
                  rng.choice([-1.0, 1.0]) * 10.0 ** rng.uniform(-310, 308),
                  rng.normal(0.0, scale)][min(rng.integers(0, 4), 2)])


def raising(error):
    raise error


class Hook:  # an argument whose __float__ and __index__ run `code`, then give `value` as it is
    def __init__(self, code=lambda: None, value=1.0):
        self.code, self.value = code, value

    def __float__(self):
        self.code()
        return self.value

    __index__ = __float__


class Hostile:  # an argument whose __float__ and __index__ raise `outcome` or return it
    def __init__(self, outcome):
        self.outcome = outcome

    def __float__(self):
        if isinstance(self.outcome, type):
            raise self.outcome("hostile")
        return self.outcome

    __index__ = __float__
