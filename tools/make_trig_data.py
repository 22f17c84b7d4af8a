#!/usr/bin/env python3
"""Makes the data behind the vector sin and cos lanes, with mpmath at 200 bits.

    python tools/make_trig_data.py table   # src/lib/trig_table.hpp: sin and cos at i / 128 as double-doubles
    python tools/make_trig_data.py cases   # tests/data/trig_hard_cases.npz: arguments that test the lanes,
                                           # and a share of them for the test at load, src/lib/trig_hard_arguments.hpp

Row i (0 <= i < 110) holds sin(i/128) and cos(i/128) each as the double nearest to it and the double
nearest to the rest; rows 110 + i hold the same values ordered for a cosine (cos, its rest, -sin, -its
rest), so that one formula serves both. The script checks that sin and cos of the platform library give
the high parts back.

The hard cases are arguments x, one array per kind, each hard for sin, for cos or both:
  - `unfused`: glibc's steps (src/lib/trig_lanes.inc), evaluated here one rounding per operation as in a build
    without multiply-adds, give another double than the platform library's sin or cos;
  - `ties`: the steps' last sum (sn + cor, cs + cor, or x + t in the Taylor branch) is an exact tie;
  - `midpoints`: that sum lies within 2^-10 ulp of a midpoint between two doubles;
  - `edges`: each branch's threshold, the Taylor bound 0.126 (directly, after the middle range's and the
    reduction's subtraction), the table points i/128 and (i + 1/2)/128 the same ways, the multiples of
    pi/2 (small ones, and the large ones that the doubles come closest to), the quadrant ties where
    x * (2/pi) is near k + 1/2, and sines and cosines at or next to powers of two, a few ulps either side;
  - `quadrants`: x * (2/pi) rounds to k + 1/2 exactly, and the library's sin or cos is the value that
    the steps give when they reduce by the other multiple of pi/2 (as a fused x * (2/pi) + 1.5 * 2^52 may);
  - `library`: the arguments the lanes leave to the library: |x| >= 105414350, inf, NaN, subnormals, zeros.
Random arguments come from a fixed seed, so the output is reproducible.
"""
import ctypes
import ctypes.util
import math
import os
import sys

import mpmath
import numpy as np

mpmath.mp.prec = 200
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROWS = 110  # i / 128 up to 0.855, the largest argument that the table serves
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("sin", "cos"):
    getattr(_libm, _name).restype, getattr(_libm, _name).argtypes = ctypes.c_double, [ctypes.c_double]


def split(v):
    high = float(v)
    return high, float(v - high)


def sine_rows():
    """(sin, rest, cos, rest) at i / 128 for each row i"""
    rows = []
    for i in range(ROWS):
        x = mpmath.mpf(i) / 128
        rows.append(split(mpmath.sin(x)) + split(mpmath.cos(x)))
        assert rows[-1][0] == _libm.sin(i / 128) and rows[-1][2] == _libm.cos(i / 128), i
    return rows


def make_table():
    rows = sine_rows()
    rows += [(c, cl, -s, -sl) for s, sl, c, cl in rows]
    lines = [f"    {{{', '.join(v.hex() for v in row)}}},  // {i % ROWS}" for i, row in enumerate(rows)]
    text = ("// sin(i / 128) and cos(i / 128) for i = 0 ... 109, each as a double-double: the\n"
            "// double nearest to the value and the double nearest to the rest. Rows 0 ... 109\n"
            "// are {sin, rest, cos, rest}; rows 110 ... 219 the same values ordered for a\n"
            "// cosine, {cos, rest, -sin, -rest}. Made by tools/make_trig_data.py table; do not\n"
            "// edit by hand.\n"
            "// clang-format off\n"
            "#pragma once\n\n"
            "namespace vuvirida::lib::trig_table {\n\n"
            f"inline constexpr int kRows = {ROWS};\n\n"
            "struct alignas(32) Row {\n    double high;\n    double low;\n"
            "    double other_high;\n    double other_low;\n};\n\n"
            f"inline constexpr Row kTable[2 * kRows] = {{\n" + "\n".join(lines) + "\n};\n\n"
            "}  // namespace vuvirida::lib::trig_table\n")
    with open(os.path.join(ROOT, "src", "lib", "trig_table.hpp"), "w") as f:
        f.write(text)


# glibc's constants (sysdeps/ieee754/dbl-64/usncs.h and s_sin.c), as src/lib/trig_lanes.hpp has them.
H = float.fromhex
S = [H(v) for v in ("-0x1.5555555555555p-3", "0x1.1111111110ECEp-7", "-0x1.A01A019DB08B8p-13",
                    "0x1.71DE27B9A7ED9p-19", "-0x1.ADDFFC2FCDF59p-26")]
SN3, SN5 = H("-0x1.5555555555515p-3"), H("0x1.11110e829872fp-7")
CS2, CS4, CS6 = 0.5, H("-0x1.5555555555535p-5"), H("0x1.6c16bedd9e239p-10")
BIG, HP0, HP1 = H("0x1.8p45"), H("0x1.921FB54442D18p0"), H("0x1.1A62633145C07p-54")
MP1, MP2, PP3, PP4 = H("0x1.921FB58p0"), H("-0x1.DDE973Cp-27"), H("-0x1.CB3B398p-55"), H("-0x1.d747f23e32ed7p-83")
HPINV, TOINT = H("0x1.45F306DC9C883p-1"), H("0x1.8p52")
# Where the library's branches begin (the high words of |x| that s_sin.c compares).
SIN_TINY, COS_TINY, DIRECT = H("0x1p-26"), H("0x1p-27"), 0.85546875
MIDDLE, REDUCED = H("0x1.368fdp1"), H("0x1.921fbp26")


def cos_steps(x, dx, rows):  # the library's do_cos: (cs, cor)
    if x < 0:
        dx = -dx
    h = (BIG + abs(x)) - BIG
    x = (abs(x) - h) + dx
    xx = x * x
    s = x + (x * xx) * (SN3 + xx * SN5)
    c = xx * (CS2 + xx * (CS4 + xx * CS6))
    sn, ssn, cs, ccs = rows[int(h * 128)]
    return cs, ((ccs - s * ssn) - cs * c) - sn * s


def sin_steps(x, dx, rows):  # the library's do_sin: (big, small, sign), the value sign * (big + small)
    if abs(x) < 0.126:
        xx = x * x
        poly = (((S[4] * xx + S[3]) * xx + S[2]) * xx + S[1]) * xx + S[0]
        return x, (poly * x - 0.5 * dx) * xx + dx, 1.0
    sign = math.copysign(1.0, x)
    if x <= 0:
        dx = -dx
    h = (BIG + abs(x)) - BIG
    x = abs(x) - h
    xx = x * x
    s = x + (dx + (x * xx) * (SN3 + xx * SN5))
    c = x * dx + xx * (CS2 + xx * (CS4 + xx * CS6))
    sn, ssn, cs, ccs = rows[int(h * 128)]
    return sn, ((ssn + s * ccs) - sn * c) + cs * s, sign


def last_sum(x, is_cos, rows, other_quadrant=False):
    """The library's last sum for sin or cos of |x| < 105414350, unfused: (big, small, sign), or None.
    other_quadrant: where x * (2/pi) rounds to k + 1/2, reduce by the multiple of pi/2 that a fused
    x * (2/pi) + 1.5 * 2^52 may pick instead."""
    ax = abs(x)
    if not ax < REDUCED:
        return None
    if ax < (COS_TINY if is_cos else SIN_TINY):
        return (1.0 if is_cos else x), -0.0, 1.0
    if ax < DIRECT:
        return cos_steps(x, 0.0, rows) + (1.0,) if is_cos else sin_steps(x, 0.0, rows)
    if ax < MIDDLE:
        y = HP0 - ax
        if is_cos:
            a = y + HP1
            return sin_steps(a, (y - a) + HP1, rows)
        return cos_steps(y, HP1, rows) + (math.copysign(1.0, x),)
    t = x * HPINV + TOINT
    xn = t - TOINT
    if other_quadrant:
        xn += math.copysign(1.0, x * HPINV - xn)
    y = (x - xn * MP1) - xn * MP2
    t1 = xn * PP3
    t2 = y - t1
    db = (y - t2) - t1
    t1 = xn * PP4
    b = t2 - t1
    db += (t2 - b) - t1
    n = int(xn) + is_cos
    big, small, sign = cos_steps(b, db, rows) + (1.0,) if n & 1 else sin_steps(b, db, rows)
    return big, small, -sign if n & 2 else sign


def from_midpoint(big, small):
    """How far big + small lies from the nearest midpoint between two doubles, in ulps (Fast2Sum)"""
    res = big + small
    rest = small - (res - big)
    if rest == 0.0:
        return 0.5
    gap = abs(math.nextafter(res, math.copysign(math.inf, rest)) - res)
    return abs(abs(rest) - gap / 2) / gap


def around(v, ulps):
    """v > 0 and its neighbours up to `ulps` either side"""
    return list((np.arange(-ulps, ulps + 1) + np.float64(v).view(np.int64)).view(np.float64))


def nearest(v):
    return float(mpmath.mpf(v))


def closest_multiples(count):
    """The k whose multiples k pi/2 below 105414350 the doubles come closest to, relatively"""
    best = []
    for start in range(1, 2**26 + 1, 2**22):
        k = np.arange(start, min(start + 2**22, 2**26 + 1), dtype=np.float64)
        x = k * HP0
        gap = (((k * MP1 - x) + k * MP2) + k * PP3) + k * PP4  # k * MP1 - x is exact, so is each product
        rel = np.abs(gap) / x
        keep = np.argsort(rel)[:count]
        best += list(zip(rel[keep], k[keep]))
    return [int(k) for _, k in sorted(best)[:count]]


def value(x, is_cos, rows, other_quadrant=False):
    big, small, sign = last_sum(x, is_cos, rows, other_quadrant)
    return sign * (big + small)


def quadrant_ties(rows, rng, count):
    """x where x * (2/pi) rounds to k + 1/2 and the library reduced by the other multiple of pi/2"""
    found, k = [], 1
    while len(found) < count:
        k = k + 1 if k < 2000 else int(rng.integers(2000, 2**26))
        for x in around(nearest((k + 0.5) * mpmath.pi / 2), 3):
            if (x * HPINV) % 1.0 == 0.5 and (value(x, False, rows) != _libm.sin(x)
                                              or value(x, True, rows) != _libm.cos(x)):
                found.append(x)
    return found


def make_cases(per_cell=(64, 24, 40), tries=400_000):
    rows = sine_rows()
    rng = np.random.default_rng(20261208)
    kinds = {"unfused": [], "ties": [], "midpoints": []}
    ranges = [(SIN_TINY, 0.126, True), (0.126, DIRECT, False), (DIRECT, MIDDLE, False), (MIDDLE, 50.0, False),
              (50.0, 1e5, False), (1e5, REDUCED, False)]
    for is_cos, library in ((False, _libm.sin), (True, _libm.cos)):
        for low, high, logarithmic in ranges:
            found, differ = [[] for _ in kinds], 0
            for n in range(tries):
                if n % 4096 == 0:
                    draws = (np.exp(rng.uniform(np.log(low), np.log(high), 4096)) if logarithmic
                             else rng.uniform(low, high, 4096)) * rng.choice([-1.0, 1.0], 4096)
                x = float(draws[n % 4096])
                big, small, _ = last_sum(x, is_cos, rows)
                distance = from_midpoint(big, small)
                wanted = [value(x, is_cos, rows) != library(x), distance == 0.0, 0.0 < distance < 2.0**-10]
                differ += wanted[0]
                for f, want, quota in zip(found, wanted, per_cell):
                    if want and len(f) < quota:
                        f.append(x)
                        break
                if all(len(f) == q for f, q in zip(found, per_cell)):
                    break
            assert differ < (n + 1) / 100, ("the steps differ from the library too often", low, high, differ)
            print(f"{'cos' if is_cos else 'sin'} [{low:.3g}, {high:.3g}): {n + 1} tried, {differ} differ,",
                  ", ".join(f"{len(f)} {k}" for f, k in zip(found, kinds)))
            for f, k in zip(found, kinds):
                kinds[k] += f
    # Branch thresholds, the Taylor bound, the table's points and midpoints, directly, in the middle
    # range (pi/2 - |x| is exact there) and after the reduction.
    edges = [v for e in (SIN_TINY, COS_TINY, 0.126, DIRECT, MIDDLE, REDUCED) for v in around(e, 3)]
    edges += [HP0 + s * v for s in (1, -1) for v in around(0.126, 2)]
    offsets = [i / 128 for i in range(1, ROWS)] + [(i + 0.5) / 128 for i in range(ROWS)]
    edges += [v for o in offsets for v in around(o, 1)]
    edges += [HP0 + s * o for s in (1, -1) for o in offsets if DIRECT < HP0 + s * o < MIDDLE]
    quarter = mpmath.pi / 2
    large = [int(k) for k in rng.integers(2**20, 2**26, 6)] + closest_multiples(16)
    for k in [2, 3, 1001] + large[:3]:
        edges += [nearest(k * quarter + s * mpmath.mpf(o)) for s in (1, -1) for o in offsets[::10]]
        edges += [v for s in (1, -1) for v in around(nearest(k * quarter + s * mpmath.mpf(0.126)), 2)]
    # The multiples of pi/2 and the quadrant ties.
    edges += [v for k in list(range(1, 33)) + large for v in around(nearest(k * quarter), 3)]
    edges += [v for k in list(range(1, 17)) + large[:16] for v in around(nearest((k + 0.5) * quarter), 3)]
    # Values at and next to powers of two, where the spacing of the doubles halves below.
    powers = [mpmath.mpf(2) ** -j for j in range(1, 9)]
    edges += [v for p in powers for a in (mpmath.asin(p), mpmath.acos(p)) for v in around(nearest(a), 2)]
    edges += [nearest(k * quarter + s * mpmath.mpf(2) ** -j)
              for k in (1, 2, 4) for s in (1, -1) for j in range(20, 31, 2)]
    edges = [-v if i % 2 else v for i, v in enumerate(edges)]  # both signs, in turn
    tiny = 2.0**-1074
    library = [v for e in (2.0**-1022, 2.0**-1000, 1e9, 2.0**30, 2.0**53, 1e22, 1e300, 2.0**1023)
               for v in around(e, 1)]
    library += [0.0, tiny, 3 * tiny, 2.0**-1030, 2.0**-1022 - tiny, math.inf, math.nan, 1.7976931348623157e308]
    library += list(np.exp(rng.uniform(np.log(REDUCED), np.log(1.7e308), 24)))
    library = [s * v for v in library for s in (1, -1)]
    kinds.update(edges=edges, quadrants=quadrant_ties(rows, rng, 32), library=library)
    arrays = {k: np.array(v, dtype=np.float64) for k, v in kinds.items()}
    # The tests read every fourth case of each kind: against builds with a fault
    # planted in the rounding test (no test, no slack) or the table, that share
    # still catches each in 14 to 138 cases, and the whole caught no fault it
    # misses. The test at load takes its own share of the whole.
    shares = {k: v[::4] for k, v in arrays.items()}
    np.savez_compressed(os.path.join(ROOT, "tests", "data", "trig_hard_cases.npz"), **shares)
    print(", ".join(f"{v.size} {k}" for k, v in shares.items()))
    write_hard_arguments(arrays)


def write_hard_arguments(arrays):
    """A share of the unfused, tie and quadrant cases, for the lanes' test at load."""
    chosen = np.concatenate([arrays["unfused"][::10], arrays["ties"][::4], arrays["quadrants"]])
    lines = [" ".join(f"{v.hex()}," for v in chosen[i:i + 3]) for i in range(0, chosen.size, 3)]
    text = ("// Arguments where a build of the library's sin and cos without fused\n"
            "// multiply-adds gives other values than the FMA build, where the steps' last\n"
            "// sum is an exact tie, and where the library reduced by the other multiple of\n"
            "// pi/2: a share of the hard cases, for the lanes' test at load. Made by\n"
            "// tools/make_trig_data.py cases; do not edit by hand.\n"
            "// clang-format off\n"
            "#pragma once\n\n"
            "namespace vuvirida::lib::trig_table {\n\n"
            "inline constexpr double kHardArguments[] = {\n" + "\n".join(f"    {line}" for line in lines) +
            "\n};\n\n}  // namespace vuvirida::lib::trig_table\n")
    with open(os.path.join(ROOT, "src", "lib", "trig_hard_arguments.hpp"), "w") as f:
        f.write(text)


if __name__ == "__main__":
    {"table": make_table, "cases": make_cases}[sys.argv[1]]()
