#!/usr/bin/env python3
"""Makes the data behind the vector sin and cos lanes, with mpmath at 200 bits.

    python tests/make_trig_data.py table   # src/lib/trig_table.hpp: sin and cos at i / 128 as double-doubles

Row i (0 <= i < 110) holds sin(i/128) and cos(i/128) each as the double nearest to it and the double
nearest to the rest; rows 110 + i hold the same values ordered for a cosine (cos, its rest, -sin, -its
rest), so that one formula serves both. The script checks that sin and cos of the platform library give
the high parts back.
"""
import ctypes
import ctypes.util
import os
import sys

import mpmath

mpmath.mp.prec = 200
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROWS = 110  # i / 128 up to 0.855, the largest argument that the table serves
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("sin", "cos"):
    getattr(_libm, _name).restype, getattr(_libm, _name).argtypes = ctypes.c_double, [ctypes.c_double]


def split(v):
    high = float(v)
    return high, float(v - high)


def make_table():
    sines, cosines = [], []
    for i in range(ROWS):
        x = mpmath.mpf(i) / 128
        sines.append(split(mpmath.sin(x)))
        cosines.append(split(mpmath.cos(x)))
        assert sines[-1][0] == _libm.sin(i / 128) and cosines[-1][0] == _libm.cos(i / 128), i
    rows = [(s, sl, c, cl) for (s, sl), (c, cl) in zip(sines, cosines)]
    rows += [(c, cl, -s, -sl) for (s, sl), (c, cl) in zip(sines, cosines)]
    lines = [f"    {{{', '.join(v.hex() for v in row)}}},  // {i % ROWS}" for i, row in enumerate(rows)]
    text = ("// sin(i / 128) and cos(i / 128) for i = 0 ... 109, each as a double-double: the\n"
            "// double nearest to the value and the double nearest to the rest. Rows 0 ... 109\n"
            "// are {sin, rest, cos, rest}; rows 110 ... 219 the same values ordered for a\n"
            "// cosine, {cos, rest, -sin, -rest}. Made by tests/make_trig_data.py table; do not\n"
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


if __name__ == "__main__":
    {"table": make_table}[sys.argv[1]]()
