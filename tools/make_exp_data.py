#!/usr/bin/env python3
"""Makes the data behind the vector exp lanes, with mpmath at 200 bits.

    python tools/make_exp_data.py table   # src/lib/exp_table.hpp: 2^(j/128) as double-doubles
    python tools/make_exp_data.py cases   # tests/data/exp_hard_cases.npz: arguments that test the rounding

The hard cases are arguments x (the array `arguments`) of three kinds:
  - the library's exp(x) is not the correctly rounded value of e^x;
  - e^x lies within 1e-3 ulp of a midpoint between two doubles;
  - e^x lies 0.0105 to 0.0125 ulp from a midpoint, where the lanes' rounding test draws its line;
  - for transient_impulse, pulse exponents z = ((t / width) * (t / width)) * -0.5 of these kinds that
    the kernel forms exactly, as (t, width) rows (the array `pulses`).
Random arguments come from a fixed seed, so the output is reproducible.
"""
import ctypes
import ctypes.util
import os
import sys

import mpmath
import numpy as np

mpmath.mp.prec = 200
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STEPS = 128
CYCLE = 6.283185297179586
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.exp.restype, _libm.exp.argtypes = ctypes.c_double, [ctypes.c_double]


def make_table():
    step = mpmath.log(2) / STEPS
    scale = mpmath.mpf(2) ** (35 - mpmath.floor(mpmath.log(step, 2)))
    high = mpmath.floor(step * scale) / scale  # the step's leading 36 bits
    assert float(high) == high
    constants = [("kInverseStep", "128 / ln 2, rounded", float(1 / step)),
                 ("kStepHigh", "ln 2 / 128 cut to its leading 36 bits (exact products with |k| < 2^17)", float(high)),
                 ("kStepLow", "the rest of ln 2 / 128, rounded", float(step - high))]
    constants += [(f"kInverseFactorial{n}", f"1/{n}!, rounded", float(1 / mpmath.factorial(n))) for n in range(3, 8)]
    rows = []
    for j in range(STEPS):
        v = mpmath.power(2, mpmath.mpf(j) / STEPS)
        hi = float(v)
        lo = float(v - hi)
        rows.append(f"    {{{hi.hex()}, {lo.hex()}}},")
    text = ("// 2^(j / 128) for j = 0 ... 127 as a double-double {high, low}: high is the double\n"
            "// nearest to the power and low the double nearest to the rest, so that\n"
            "// high + low is within 2^-106 of the power, relatively. Made by\n"
            "// tools/make_exp_data.py table; do not edit by hand.\n"
            "// clang-format off\n"
            "#pragma once\n\n"
            "namespace vuvirida::lib::exp_table {\n\n"
            + "".join(f"// {note}\ninline constexpr double {name} = {value.hex()};\n" for name, note, value in constants)
            + "\nstruct Entry {\n    double high;\n    double low;\n};\n\n"
            f"inline constexpr Entry kPowers[{STEPS}] = {{\n" + "\n".join(rows) + "\n};\n\n"
            "}  // namespace vuvirida::lib::exp_table\n")
    with open(os.path.join(ROOT, "src", "lib", "exp_table.hpp"), "w") as f:
        f.write(text)


def ulp_position(x):
    """(whether the library is correctly rounded, distance of e^x from the nearest midpoint in ulp)"""
    y = mpmath.exp(mpmath.mpf(x))
    lib = _libm.exp(x)
    below = float(y)  # nearest
    lo, hi = (np.nextafter(below, -np.inf), below) if mpmath.mpf(below) > y else (below, np.nextafter(below, np.inf))
    ulp = mpmath.mpf(hi) - mpmath.mpf(lo)
    mid = (mpmath.mpf(lo) + mpmath.mpf(hi)) / 2
    return lib == below, float(abs(y - mid) / ulp)


def near_midpoint(x):
    correct, distance = ulp_position(x)
    return not correct or distance < 1e-3 or 0.0105 < distance < 0.0125


def exact_square(z):
    """A t with ((t * t) * -0.5) == z in float64, t > 0, or None."""
    target = -2.0 * z
    q = float(np.sqrt(target))
    for _ in range(4):
        for cand in (q, np.nextafter(q, 0.0), np.nextafter(q, np.inf)):
            if (cand * cand) * -0.5 == z:
                return cand
        q = np.nextafter(q, np.inf)
    return None


def make_cases(count=750):
    # 750 arguments catch a rounding test that keeps every lane (scale 1.0 for
    # 1.0232) in 77 of them and 19 pulse samples; four times as many caught no
    # planted fault that these miss.
    rng = np.random.default_rng(20261207)
    ranges = [(-708.0, 709.0), (-20.0, 20.0), (-1.0, 1.0), (-1e-3, 1e-3)]
    found = []
    for lo, hi in ranges:
        kept = 0
        while kept < count // len(ranges):
            x = float(rng.uniform(lo, hi))
            if near_midpoint(x):
                found.append(x)
                kept += 1
    # Pulse exponents that transient_impulse forms from a sample and a power-of-two width.
    pulses = []
    for x in found:
        if x >= 0.0 or x < -700.0:
            continue
        q = exact_square(x)
        if q is None:
            continue
        width = 2.0 ** -int(np.ceil(np.log2(q / (CYCLE / 2))))
        t = q * width
        assert (t / width) * (t / width) * -0.5 == x and 0 <= t < CYCLE
        pulses.append((t, width))
    np.savez_compressed(os.path.join(ROOT, "tests", "data", "exp_hard_cases.npz"), arguments=np.array(found),
             pulses=np.array(pulses))
    print(f"{len(found)} arguments, {len(pulses)} pulse samples")


if __name__ == "__main__":
    {"table": make_table, "cases": make_cases}[sys.argv[1]]()
